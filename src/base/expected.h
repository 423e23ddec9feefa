// Expected: a value, or the error text that explains why there is none. It is
// the one result type from file reading up to the dispatcher: commands report
// their failures as texts, and every fallible step hands its result on in it.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace marblewick {

// A failure as the caller will read it. It converts into an Expected of any
// value type, so a step passes a failure on with `return std::move(r).error();`.
struct ErrorText {
  explicit ErrorText(std::string text) : message(std::move(text)) {}
  explicit ErrorText(std::string_view text) : message(text) {}
  explicit ErrorText(const char* text) : message(text) {}

  std::string message;
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
