// UTF-8 validation (with an ASCII fast path: most source text is ASCII),
// decoding, encoding, character-counted prefixes and lossy conversion.
#include "base/utf8.h"

#include <cstring>

namespace marblewick {
namespace {

// What a lead byte allows: the length of its sequence and the range of the
// byte after it (narrower than a continuation byte for the leads that could
// otherwise spell an overlong form, a surrogate or a value above U+10FFFF).
// Length 0: the byte cannot start a sequence.
struct LeadRule {
  std::size_t length;
  unsigned char second_low;
  unsigned char second_high;
};

inline LeadRule lead_rule(unsigned char c) {
  if (c < 0x80) return {1, 0, 0};
  if (c >= 0xC2 && c <= 0xDF) return {2, 0x80, 0xBF};
  if (c >= 0xE0 && c <= 0xEF) {
    return {3, static_cast<unsigned char>(c == 0xE0 ? 0xA0 : 0x80),
            static_cast<unsigned char>(c == 0xED ? 0x9F : 0xBF)};
  }
  if (c >= 0xF0 && c <= 0xF4) {
    return {4, static_cast<unsigned char>(c == 0xF0 ? 0x90 : 0x80),
            static_cast<unsigned char>(c == 0xF4 ? 0x8F : 0xBF)};
  }
  return {0, 0, 0};
}

// Length of the valid UTF-8 sequence starting at `p` (at most `left` bytes
// available), or 0 when the bytes there do not start one.
inline std::size_t valid_sequence_length(const unsigned char* p, std::size_t left) {
  LeadRule rule = lead_rule(p[0]);
  if (rule.length <= 1) return rule.length;
  if (left < rule.length || p[1] < rule.second_low || p[1] > rule.second_high) return 0;
  for (std::size_t i = 2; i < rule.length; ++i) {
    if (!is_utf8_continuation(p[i])) return 0;
  }
  return rule.length;
}

// Length of the maximal prefix of an invalid sequence at `p` that could have
// started a valid one; it is replaced by a single U+FFFD.
std::size_t invalid_prefix_length(const unsigned char* p, std::size_t left) {
  LeadRule rule = lead_rule(p[0]);
  if (rule.length <= 1) return 1;
  std::size_t n = 1;
  if (n < left && p[n] >= rule.second_low && p[n] <= rule.second_high) {
    ++n;
    while (n < left && n < rule.length && is_utf8_continuation(p[n])) ++n;
  }
  return n;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t left = bytes.size();
  while (left > 0) {
    // Sixteen ASCII bytes at a time.
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

std::size_t end_of_complete_sequences(std::string_view bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t size = bytes.size();
  for (std::size_t back = 1; back < MAX_UTF8_SEQUENCE_BYTES && back <= size; ++back) {
    unsigned char byte = data[size - back];
    if (is_utf8_continuation(byte)) continue;
    return utf8_sequence_length(byte) > back ? size - back : size;
  }
  return size;
}

char32_t decode_utf8_scalar(const unsigned char* p, std::size_t length) {
  switch (length) {
    case 1:
      return p[0];
    case 2:
      return (char32_t{p[0] & 0x1Fu} << 6) | (p[1] & 0x3Fu);
    case 3:
      return (char32_t{p[0] & 0x0Fu} << 12) | (char32_t{p[1] & 0x3Fu} << 6) | (p[2] & 0x3Fu);
    default:
      return (char32_t{p[0] & 0x07u} << 18) | (char32_t{p[1] & 0x3Fu} << 12) | (char32_t{p[2] & 0x3Fu} << 6) |
             (p[3] & 0x3Fu);
  }
}

void append_utf8(std::string& out, std::uint32_t scalar) {
  if (scalar < 0x80) {
    out.push_back(static_cast<char>(scalar));
  } else if (scalar < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (scalar >> 6)));
    out.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
  } else if (scalar < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (scalar >> 12)));
    out.push_back(static_cast<char>(0x80 | ((scalar >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (scalar >> 18)));
    out.push_back(static_cast<char>(0x80 | ((scalar >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((scalar >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
  }
}

std::string_view prefix_of_chars(std::string_view text, std::size_t max_chars) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    // Every byte that is not a continuation byte starts a character.
    if (!is_utf8_continuation(static_cast<unsigned char>(text[i]))) {
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
