// Hexadecimal digits: the lower-case ones that digests and escapes are written
// with, and the value of a digit of either case read from a payload.
#pragma once

#include <string>

namespace marblewick {

inline constexpr char LOWER_HEX_DIGITS[] = "0123456789abcdef";

// Appends the byte as two lower-case hex digits.
inline void append_hex_byte(std::string& out, unsigned char byte) {
  out.push_back(LOWER_HEX_DIGITS[byte >> 4]);
  out.push_back(LOWER_HEX_DIGITS[byte & 0xF]);
}

// The value of one hex digit ('0'-'9', 'a'-'f', 'A'-'F'), or -1.
inline int hex_digit_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace marblewick
