// symbol_signature. Trimming uses the full Unicode White_Space set, not just
// ASCII blanks, so a line indented or padded with, say, ideographic spaces
// reads the same as one padded with ASCII spaces.
#include "outline/signature.h"

#include <cstdint>

#include "lib/utf8.h"

namespace marblewick {
namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// Decodes the character of `length` bytes at `p`; the text is valid UTF-8.
char32_t decode(const unsigned char* p, std::size_t length) {
  switch (length) {
    case 1:
      return p[0];
    case 2:
      return (char32_t{p[0] & 0x1Fu} << 6) | (p[1] & 0x3Fu);
    case 3:
      return (char32_t{p[0] & 0x0Fu} << 12) | (char32_t{p[1] & 0x3Fu} << 6) | (p[2] & 0x3Fu);
    default:
      return (char32_t{p[0] & 0x07u} << 18) | (char32_t{p[1] & 0x3Fu} << 12) |
             (char32_t{p[2] & 0x3Fu} << 6) | (p[3] & 0x3Fu);
  }
}

std::string_view trim_white_space(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end) {
    std::size_t length = sequence_length(bytes[begin]);
    if (!is_white_space(decode(bytes + begin, length))) break;
    begin += length;
  }
  while (end > begin) {
    std::size_t lead = end - 1;
    while (lead > begin && (bytes[lead] & 0xC0) == 0x80) --lead;
    if (!is_white_space(decode(bytes + lead, end - lead))) break;
    end = lead;
  }
  return text.substr(begin, end - begin);
}

}  // namespace

std::string symbol_signature(std::string_view node_text) {
  if (!is_valid_utf8(node_text)) return std::string();
  std::string_view line = node_text.substr(0, node_text.find('\n'));
  // One CR before the LF (or at the end of the text) is the line ending.
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return std::string(prefix_of_chars(trim_white_space(line), MAX_SIGNATURE_CHARS));
}

}  // namespace marblewick
