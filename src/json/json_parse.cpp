// The payload parser: recursive descent over the caller's UTF-8 buffer, read in
// place; only strings and keys are copied into the value tree.
#include "json/json_parse.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <locale.h>
#include <string>
#include <vector>

#include "base/hex_digits.h"
#include "base/line_feeds.h"
#include "base/utf8.h"

namespace marblewick {
namespace {

// The descriptions that more than one rule reports; the rest stand where they
// are found.
constexpr const char* EOF_IN_VALUE = "EOF while parsing a value";
constexpr const char* EOF_IN_STRING = "EOF while parsing a string";
constexpr const char* EOF_IN_LIST = "EOF while parsing a list";
constexpr const char* EOF_IN_OBJECT = "EOF while parsing an object";
constexpr const char* INVALID_NUMBER = "invalid number";
constexpr const char* LONE_LEADING_SURROGATE = "lone leading surrogate in hex escape";

bool is_json_whitespace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Decimal text to double, independent of the host process's locale.
double parse_decimal_text(const std::string& text) {
  static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return strtod_l(text.c_str(), nullptr, c_locale);
}

// The first error the parser meets: its description and the byte offset of
// the error point, which lies just after the offending byte, or at the end of
// the text when the text ends early.
struct PayloadReadError {
  const char* description = "";
  std::size_t offset = 0;
};

// The one place a payload error's text is formed: "<description> at line L
// column C", where L counts the line feeds before the error point, plus one,
// and C the bytes from the start of that line to the point.
ErrorText payload_error(std::string_view text, const PayloadReadError& error) {
  std::string_view before = text.substr(0, error.offset);
  std::size_t last_feed = before.rfind('\n');
  std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
  std::string message = error.description;
  message += " at line ";
  message += std::to_string(count_line_feeds(before) + 1);
  message += " column ";
  message += std::to_string(error.offset - line_start);
  return ErrorText(ErrorKind::payload, std::move(message), error.offset);
}

class JsonParser {
 public:
  explicit JsonParser(std::string_view text)
      : data_(reinterpret_cast<const unsigned char*>(text.data())), size_(text.size()) {}

  // False on the first error, which error() then tells.
  bool parse_document(JsonValue& value) {
    if (!parse_value(value)) return false;
    skip_whitespace();
    if (pos_ < size_) return fail("trailing characters", pos_ + 1);
    return true;
  }

  const PayloadReadError& error() const { return error_; }

 private:
  bool at_end() const { return pos_ >= size_; }

  void skip_whitespace() {
    while (pos_ < size_ && is_json_whitespace(data_[pos_])) ++pos_;
  }

  // Records the first error; `point` is the byte offset the position is reported at.
  bool fail(const char* description, std::size_t point) {
    error_ = {description, point};
    return false;
  }
  bool fail_at_end(const char* description) { return fail(description, size_); }

  bool parse_value(JsonValue& out) {
    skip_whitespace();
    if (at_end()) return fail_at_end(EOF_IN_VALUE);
    switch (data_[pos_]) {
      case 'n':
        ++pos_;
        if (!parse_literal_rest("ull")) return false;
        out = JsonValue(nullptr);
        return true;
      case 't':
        ++pos_;
        if (!parse_literal_rest("rue")) return false;
        out = JsonValue(true);
        return true;
      case 'f':
        ++pos_;
        if (!parse_literal_rest("alse")) return false;
        out = JsonValue(false);
        return true;
      case '"': {
        ++pos_;
        std::string text;
        if (!parse_string_body(text)) return false;
        out = JsonValue(std::move(text));
        return true;
      }
      case '[':
        return parse_array(out);
      case '{':
        return parse_object(out);
      default:
        if (data_[pos_] == '-' || is_digit(data_[pos_])) return parse_number(out);
        return fail("expected value", pos_ + 1);
    }
  }

  bool parse_literal_rest(const char* rest) {
    for (const char* c = rest; *c != '\0'; ++c) {
      if (at_end()) return fail_at_end(EOF_IN_VALUE);
      if (data_[pos_] != static_cast<unsigned char>(*c)) return fail("expected ident", pos_ + 1);
      ++pos_;
    }
    return true;
  }

  // Entering an array or object: the 128th open level fails at its bracket.
  bool enter_level() {
    if (depth_ == MAX_JSON_DEPTH) return fail("recursion limit exceeded", pos_ + 1);
    ++depth_;
    ++pos_;
    return true;
  }

  // What tells arrays and objects apart while their elements are read.
  struct ContainerSyntax {
    unsigned char close;
    const char* unfinished;         // the text ends inside the container
    const char* missing_separator;  // neither a comma nor the closing bracket
  };
  static constexpr ContainerSyntax ARRAY_SYNTAX = {']', EOF_IN_LIST, "expected `,` or `]`"};
  static constexpr ContainerSyntax OBJECT_SYNTAX = {'}', EOF_IN_OBJECT, "expected `,` or `}`"};

  // From the opening bracket past the closing one: comma-separated elements,
  // each read by `parse_element`, with no comma before the closing bracket.
  template <class ParseElement>
  bool parse_elements(const ContainerSyntax& syntax, ParseElement parse_element) {
    if (!enter_level()) return false;
    for (bool first = true;; first = false) {
      skip_whitespace();
      if (at_end()) return fail_at_end(syntax.unfinished);
      if (data_[pos_] == syntax.close) {
        ++pos_;
        break;
      }
      if (!first) {
        if (data_[pos_] != ',') return fail(syntax.missing_separator, pos_ + 1);
        ++pos_;
        skip_whitespace();
        if (at_end()) return fail_at_end(EOF_IN_VALUE);
        if (data_[pos_] == syntax.close) return fail("trailing comma", pos_ + 1);
      }
      if (!parse_element()) return false;
    }
    --depth_;
    return true;
  }

  // The elements are gathered in a scratch list of the array's depth, kept
  // from one array to the next, and the array takes them in one allocation
  // of its exact size: a payload of many small arrays (the statuses a scan is
  // given) would otherwise grow each one step by step.
  bool parse_array(JsonValue& out) {
    const auto level = static_cast<std::size_t>(depth_);
    if (scratch_.size() <= level) scratch_.resize(level + 1);
    scratch_[level].clear();
    bool parsed = parse_elements(ARRAY_SYNTAX, [&] {
      JsonValue element;
      if (!parse_value(element)) return false;
      scratch_[level].push_back(std::move(element));
      return true;
    });
    if (!parsed) return false;
    JsonArray& gathered = scratch_[level];
    JsonArray elements(std::make_move_iterator(gathered.begin()), std::make_move_iterator(gathered.end()));
    gathered.clear();
    out = JsonValue(std::move(elements));
    return true;
  }

  bool parse_object(JsonValue& out) {
    JsonObject members;
    bool parsed = parse_elements(OBJECT_SYNTAX, [&] {
      if (data_[pos_] != '"') return fail("key must be a string", pos_ + 1);
      ++pos_;
      std::string key;
      if (!parse_string_body(key)) return false;
      skip_whitespace();
      if (at_end()) return fail_at_end(EOF_IN_OBJECT);
      if (data_[pos_] != ':') return fail("expected `:`", pos_ + 1);
      ++pos_;
      JsonValue value;
      if (!parse_value(value)) return false;
      // A repeated key replaces the earlier value. Keys that come in
      // ascending order (as a sorted object's do) are placed at the end
      // without a search.
      if (members.empty() || members.rbegin()->first < key) {
        members.emplace_hint(members.end(), std::move(key), std::move(value));
      } else {
        members.insert_or_assign(std::move(key), std::move(value));
      }
      return true;
    });
    if (!parsed) return false;
    out = JsonValue(std::move(members));
    return true;
  }

  // After the opening quote; leaves pos_ after the closing quote.
  bool parse_string_body(std::string& out) {
    for (;;) {
      std::size_t run_start = pos_;
      while (pos_ < size_) {
        unsigned char c = data_[pos_];
        if (c == '"' || c == '\\' || c < 0x20) break;
        ++pos_;
      }
      out.append(reinterpret_cast<const char*>(data_ + run_start), pos_ - run_start);
      if (at_end()) return fail_at_end(EOF_IN_STRING);
      unsigned char c = data_[pos_];
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) {
        return fail("control character (\\u0000-\\u001F) found while parsing a string", pos_ + 1);
      }
      ++pos_;  // the backslash
      if (!parse_escape(out)) return false;
    }
  }

  bool parse_escape(std::string& out) {
    if (at_end()) return fail_at_end(EOF_IN_STRING);
    unsigned char e = data_[pos_++];
    switch (e) {
      case '"':
        out.push_back('"');
        return true;
      case '\\':
        out.push_back('\\');
        return true;
      case '/':
        out.push_back('/');
        return true;
      case 'b':
        out.push_back('\b');
        return true;
      case 'f':
        out.push_back('\f');
        return true;
      case 'n':
        out.push_back('\n');
        return true;
      case 'r':
        out.push_back('\r');
        return true;
      case 't':
        out.push_back('\t');
        return true;
      case 'u':
        return parse_unicode_escape(out);
      default:
        return fail("invalid escape", pos_);
    }
  }

  // Four hexadecimal digits after "\u".
  bool read_hex4(std::uint32_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
      if (at_end()) return fail_at_end(EOF_IN_STRING);
      int digit = hex_digit_value(data_[pos_]);
      ++pos_;
      if (digit < 0) return fail("unexpected end of hex escape", pos_);
      value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  bool parse_unicode_escape(std::string& out) {
    std::uint32_t unit = 0;
    if (!read_hex4(unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail("invalid unicode code point", pos_);
    if (unit < 0xD800 || unit > 0xDBFF) {
      append_utf8(out, unit);
      return true;
    }
    // A leading surrogate must be followed at once by an escaped trailing one.
    for (unsigned char expected : {static_cast<unsigned char>('\\'), static_cast<unsigned char>('u')}) {
      if (at_end()) return fail_at_end(EOF_IN_STRING);
      if (data_[pos_] != expected) return fail(LONE_LEADING_SURROGATE, pos_ + 1);
      ++pos_;
    }
    std::uint32_t trailing = 0;
    if (!read_hex4(trailing)) return false;
    if (trailing < 0xDC00 || trailing > 0xDFFF) {
      return fail(LONE_LEADING_SURROGATE, pos_);
    }
    append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (trailing - 0xDC00));
    return true;
  }

  bool consume_digits() {
    std::size_t start = pos_;
    while (pos_ < size_ && is_digit(data_[pos_])) ++pos_;
    return pos_ > start;
  }

  // At least one digit must follow a sign, a decimal point or an exponent mark.
  bool expect_digit() {
    if (at_end()) return fail_at_end(EOF_IN_VALUE);
    if (!is_digit(data_[pos_])) return fail(INVALID_NUMBER, pos_ + 1);
    consume_digits();
    return true;
  }

  bool parse_number(JsonValue& out) {
    std::size_t start = pos_;
    bool negative = data_[pos_] == '-';
    if (negative) ++pos_;
    if (at_end()) return fail_at_end(EOF_IN_VALUE);
    if (data_[pos_] == '0') {
      ++pos_;
      if (pos_ < size_ && is_digit(data_[pos_])) return fail(INVALID_NUMBER, pos_ + 1);
    } else if (is_digit(data_[pos_])) {
      consume_digits();
    } else {
      return fail(INVALID_NUMBER, pos_ + 1);
    }
    std::size_t integer_end = pos_;
    bool is_integer = true;
    if (pos_ < size_ && data_[pos_] == '.') {
      ++pos_;
      is_integer = false;
      if (!expect_digit()) return false;
    }
    if (pos_ < size_ && (data_[pos_] == 'e' || data_[pos_] == 'E')) {
      ++pos_;
      is_integer = false;
      if (pos_ < size_ && (data_[pos_] == '+' || data_[pos_] == '-')) ++pos_;
      if (!expect_digit()) return false;
    }

    if (is_integer) {
      std::uint64_t magnitude = 0;
      bool fits = true;
      for (std::size_t i = start + (negative ? 1 : 0); i < integer_end; ++i) {
        std::uint64_t digit = data_[i] - '0';
        if (magnitude > (UINT64_MAX - digit) / 10) {
          fits = false;
          break;
        }
        magnitude = magnitude * 10 + digit;
      }
      if (fits && !negative) {
        out = JsonValue(magnitude);
        return true;
      }
      // Negative integers down to -2^63 are signed; -0 and anything wider is a double.
      if (fits && negative && magnitude != 0 && magnitude <= (std::uint64_t{1} << 63)) {
        out = JsonValue(static_cast<std::int64_t>(0 - magnitude));
        return true;
      }
    }
    std::string text(reinterpret_cast<const char*>(data_ + start), pos_ - start);
    double value = parse_decimal_text(text);
    if (std::isinf(value)) return fail("number out of range", pos_);
    out = JsonValue(value);
    return true;
  }

  const unsigned char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  PayloadReadError error_;
  // parse_array's lists, one per depth.
  std::vector<JsonArray> scratch_;
};

}  // namespace

Expected<JsonValue> parse_json_text(std::string_view text) {
  JsonParser parser(text);
  JsonValue value;
  if (!parser.parse_document(value)) return payload_error(text, parser.error());
  return value;
}

}  // namespace marblewick
