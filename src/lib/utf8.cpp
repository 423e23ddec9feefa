// UTF-8 validation (with an ASCII fast path: most source text is ASCII),
// character-counted prefixes and lossy conversion.
#include "lib/utf8.h"

#include <cstdint>
#include <cstring>

namespace marblewick {
namespace {

// Length of the valid UTF-8 sequence starting at `p` (at most `left` bytes
// available), or 0 when the bytes there do not start one.
std::size_t valid_sequence_length(const unsigned char* p, std::size_t left) {
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    return (left >= 2 && (p[1] & 0xC0) == 0x80) ? 2 : 0;
  }
  if (c >= 0xE0 && c <= 0xEF) {
    if (left < 3) return 0;
    unsigned char lo = (c == 0xE0) ? 0xA0 : 0x80;
    unsigned char hi = (c == 0xED) ? 0x9F : 0xBF;  // no surrogates
    if (p[1] < lo || p[1] > hi || (p[2] & 0xC0) != 0x80) return 0;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (left < 4) return 0;
    unsigned char lo = (c == 0xF0) ? 0x90 : 0x80;
    unsigned char hi = (c == 0xF4) ? 0x8F : 0xBF;  // nothing above U+10FFFF
    if (p[1] < lo || p[1] > hi || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80) return 0;
    return 4;
  }
  return 0;
}

// Length of the maximal prefix of an invalid sequence at `p` that could have
// started a valid one; it is replaced by a single U+FFFD.
std::size_t invalid_prefix_length(const unsigned char* p, std::size_t left) {
  unsigned char c = p[0];
  std::size_t expected = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    expected = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    expected = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    expected = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 1;
  }
  std::size_t n = 1;
  if (n < left && n < expected && p[n] >= lo && p[n] <= hi) {
    ++n;
    while (n < left && n < expected && (p[n] & 0xC0) == 0x80) ++n;
  }
  return n;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t left = bytes.size();
  while (left > 0) {
    // Eight ASCII bytes at a time.
    while (left >= 16) {
      std::uint64_t a, b;
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + 8, 8);
      if (((a | b) & 0x8080808080808080ULL) != 0) break;
      p += 16;
      left -= 16;
    }
    if (left == 0) break;
    if (*p < 0x80) {
      ++p;
      --left;
      continue;
    }
    std::size_t n = valid_sequence_length(p, left);
    if (n == 0) return false;
    p += n;
    left -= n;
  }
  return true;
}

std::string_view prefix_of_chars(std::string_view text, std::size_t max_chars) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    // Every byte that is not a continuation byte starts a character.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (chars == max_chars) return text.substr(0, i);
      ++chars;
    }
  }
  return text;
}

std::string utf8_lossy(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t left = bytes.size();
  while (left > 0) {
    std::size_t n = valid_sequence_length(p, left);
    if (n > 0) {
      out.append(reinterpret_cast<const char*>(p), n);
    } else {
      n = invalid_prefix_length(p, left);
      out += "\xEF\xBF\xBD";
    }
    p += n;
    left -= n;
  }
  return out;
}

}  // namespace marblewick
