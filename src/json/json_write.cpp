// The result writer. Only quote, backslash and bytes below 0x20 are escaped;
// the slash, 0x7F and every non-ASCII character are written as they are.
#include "json/json_write.h"

#include <charconv>
#include <cmath>
#include <type_traits>

#include "base/hex_digits.h"

namespace marblewick {
namespace {

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

void write_escaped_byte(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\r':
      out += "\\r";
      return;
    default:
      out += "\\u00";
      append_hex_byte(out, c);
  }
}

template <class Number>
void write_number(std::string& out, Number n) {
  char buffer[32];
  auto written = std::to_chars(buffer, buffer + sizeof buffer, n);
  out.append(buffer, written.ptr);
}

void write_value(std::string& out, const JsonValue& value) {
  std::visit(
      [&out](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::nullptr_t>) {
          out += "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          out += v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, double>) {
          // Shortest text that reads back to the same double; not finite is null.
          if (std::isfinite(v)) {
            write_number(out, v);
          } else {
            out += "null";
          }
        } else if constexpr (std::is_integral_v<T>) {
          write_number(out, v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          write_json_string(out, v);
        } else if constexpr (std::is_same_v<T, JsonArray>) {
          out.push_back('[');
          bool first = true;
          for (const JsonValue& element : v) {
            if (!first) out.push_back(',');
            first = false;
            write_value(out, element);
          }
          out.push_back(']');
        } else {
          out.push_back('{');
          bool first = true;
          for (const auto& [key, member] : v) {
            if (!first) out.push_back(',');
            first = false;
            write_json_string(out, key);
            out.push_back(':');
            write_value(out, member);
          }
          out.push_back('}');
        }
      },
      value.storage());
}

}  // namespace

void write_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!needs_escape(c)) continue;
    out.append(text.data() + run_start, i - run_start);
    write_escaped_byte(out, c);
    run_start = i + 1;
  }
  out.append(text.data() + run_start, text.size() - run_start);
  out.push_back('"');
}

std::string write_json_text(const JsonValue& value) {
  std::string out;
  out.reserve(128);
  write_value(out, value);
  return out;
}

}  // namespace marblewick
