// Expected: a value, or the error that explains why there is none. It is the
// one result type from file reading up to the dispatcher: commands report
// their failures as errors, and every fallible step hands its result on in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace marblewick {

// What went wrong, for the code that has to decide what a failure means (a
// scan leaves out a file it cannot read, but fails as a whole when memory is
// refused). The caller never sees the kind, only the text.
enum class ErrorKind : std::uint8_t {
  payload,               // the payload is not one JSON value; `offset` says where
  request,               // the payload reads, but names no command or lacks a field
  file_system,           // a file could not be opened or read, or its name holds a NUL
  not_regular_file,      // a FIFO, socket or device, refused before any read
  invalid_utf8,          // a file's bytes are not UTF-8 text
  out_of_memory,         // the system refused memory: the whole call fails
  parse_budget,          // the parse ran past the caller's time budget
  parse_memory_ceiling,  // the parse needed more memory than its ceiling
  parse_work_ceiling,    // the parse needed more work than its ceiling
  parse_refused,         // the parser would not take the text or the grammar at all
  registration,          // a grammar package could not be registered as asked
  outline_limit,         // a tags query held more matches in progress than it may
};

// A failure: its kind, and its text exactly as the caller will read it. It
// converts into an Expected of any value type, so a step passes a failure on
// with `return std::move(r).error();`.
struct ErrorText {
  explicit ErrorText(ErrorKind error_kind, std::string text, std::size_t error_offset = 0)
      : kind(error_kind), message(std::move(text)), offset(error_offset) {}
  explicit ErrorText(ErrorKind error_kind, std::string_view text, std::size_t error_offset = 0)
      : kind(error_kind), message(text), offset(error_offset) {}
  explicit ErrorText(ErrorKind error_kind, const char* text, std::size_t error_offset = 0)
      : kind(error_kind), message(text), offset(error_offset) {}

  ErrorKind kind;
  std::string message;
  // For a payload error, the byte offset of the error point in the payload
  // text (which the message gives as a line and column); 0 for other kinds.
  std::size_t offset;
};

template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Expected(ErrorText error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }

  const ErrorText& error() const& { return std::get<1>(state_); }
  ErrorText&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, ErrorText> state_;
};

}  // namespace marblewick
