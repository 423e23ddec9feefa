// What the fuzz targets share: stating a property, and checking that a text is
// a result as the module hands it to its caller.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "base/line_feeds.h"
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

#define FUZZ_PROPERTY(condition)                                                      \
  do {                                                                                \
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

// A success result: an object holding "ok": true.
inline const JsonObject& success_object(const JsonValue& result) {
  const JsonObject* object = result.as_object();
  FUZZ_PROPERTY(object != nullptr);
  const JsonValue* ok = result.field("ok");
  FUZZ_PROPERTY(ok != nullptr && std::get_if<bool>(&ok->storage()) != nullptr &&
                std::get<bool>(ok->storage()));
  return *object;
}

// Every description a malformed payload can be reported with.
inline constexpr std::string_view PAYLOAD_ERROR_DESCRIPTIONS[] = {
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "invalid escape",
    "invalid number",
    "number out of range",
    "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "trailing comma",
    "trailing characters",
    "unexpected end of hex escape",
    "recursion limit exceeded",
};

inline bool read_decimal(std::string_view text, std::uint64_t& value) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
  auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
  return failure == std::errc() && end == text.data() + text.size();
}

// "<description> at line L column C" for a payload `text`: L counts the line
// feeds before the error point plus one, and C the bytes from the start of
// that line to the point, which lies within the text.
inline void check_payload_error_text(std::string_view message, std::string_view text) {
  std::size_t at_line = message.rfind(" at line ");
  FUZZ_PROPERTY(at_line != std::string_view::npos);
  std::string_view description = message.substr(0, at_line);
  FUZZ_PROPERTY(std::find(std::begin(PAYLOAD_ERROR_DESCRIPTIONS), std::end(PAYLOAD_ERROR_DESCRIPTIONS),
                          description) != std::end(PAYLOAD_ERROR_DESCRIPTIONS));
  std::string_view position = message.substr(at_line + 9);
  std::size_t at_column = position.find(" column ");
  FUZZ_PROPERTY(at_column != std::string_view::npos);
  std::uint64_t line = 0;
  std::uint64_t column = 0;
  FUZZ_PROPERTY(read_decimal(position.substr(0, at_column), line));
  FUZZ_PROPERTY(read_decimal(position.substr(at_column + 8), column));

  FUZZ_PROPERTY(line >= 1 && line <= count_line_feeds(text) + 1);
  std::size_t line_start = 0;
  for (std::uint64_t row = 1; row < line; ++row) line_start = text.find('\n', line_start) + 1;
  std::size_t line_end = std::min(text.find('\n', line_start), text.size());
  FUZZ_PROPERTY(column <= line_end - line_start);
}

}  // namespace marblewick::fuzz
