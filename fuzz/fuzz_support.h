// What the fuzz targets share: stating a property, and checking that a text is
// a result as the module hands it to its caller, or that an error has the
// kind and position it should.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "base/error_texts.h"
#include "base/utf8.h"
#include "json/json_parse.h"
#include "json/json_value.h"
#include "json/json_write.h"

namespace marblewick::fuzz {

// A broken property is a finding: say which one, then abort, so that libFuzzer
// keeps the input and the replay driver exits non-zero.
[[noreturn]] inline void property_failed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz property failed: %s (%s:%d)\n", what, file, line);
  std::abort();
}

#define FUZZ_PROPERTY(condition)                                                           \
  do {                                                                                     \
    if (!(condition)) ::marblewick::fuzz::property_failed(#condition, __FILE__, __LINE__); \
  } while (0)

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A result text as the boundary returns it: UTF-8 (it becomes a str), parsed
// by our own reader, and written back by our own writer to the very same
// bytes, which holds only for compact text with ordered, unrepeated keys.
inline JsonValue parse_result_text(std::string_view text) {
  FUZZ_PROPERTY(is_valid_utf8(text));
  Expected<JsonValue> value = parse_json_text(text);
  FUZZ_PROPERTY(value.has_value());
  FUZZ_PROPERTY(write_json_text(value.value()) == text);
  return std::move(value).value();
}

// Checks that a result is a success: an object holding "ok": true. Returns its members.
inline const JsonObject& check_success_object(const JsonValue& result) {
  const JsonObject* object = result.as_object();
  FUZZ_PROPERTY(object != nullptr);
  const JsonValue* ok = result.field("ok");
  FUZZ_PROPERTY(ok != nullptr && std::get_if<bool>(&ok->storage()) != nullptr &&
                std::get<bool>(ok->storage()));
  return *object;
}

// A malformed payload's error: of its own kind, with the error point inside
// the text. The point lies just after the offending byte, or at the end of a
// text that ends early, so it is 0 only for the empty text.
inline void check_payload_error(const ErrorText& error, std::string_view text) {
  FUZZ_PROPERTY(error.kind == ErrorKind::payload);
  FUZZ_PROPERTY(error.offset <= text.size());
  FUZZ_PROPERTY(error.offset > 0 || text.empty());
  FUZZ_PROPERTY(!error.message.empty());
}

// Any other error: a kind that has one fixed text carries it, and only a
// payload error has a position.
inline void check_command_error(const ErrorText& error) {
  FUZZ_PROPERTY(error.kind != ErrorKind::payload && error.offset == 0);
  FUZZ_PROPERTY(!error.message.empty() && is_valid_utf8(error.message));
  switch (error.kind) {
    case ErrorKind::not_regular_file:
      FUZZ_PROPERTY(error.message == NOT_A_REGULAR_FILE_TEXT);
      break;
    case ErrorKind::invalid_utf8:
      FUZZ_PROPERTY(error.message == INVALID_UTF8_TEXT);
      break;
    case ErrorKind::out_of_memory:
      FUZZ_PROPERTY(error.message == OUT_OF_MEMORY_TEXT);
      break;
    default:
      break;
  }
}

}  // namespace marblewick::fuzz
