// symbol_signature. Trimming uses the full Unicode White_Space set, not just
// ASCII blanks, so a line indented or padded with, say, ideographic spaces
// reads the same as one padded with ASCII spaces.
#include "outline/signature.h"

#include <cstdint>

#include "base/utf8.h"

namespace marblewick {
namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end) {
    std::size_t length = utf8_sequence_length(bytes[begin]);
    if (!is_white_space(decode_utf8_scalar(bytes + begin, length))) break;
    begin += length;
  }
  while (end > begin) {
    std::size_t lead = end - 1;
    while (lead > begin && is_utf8_continuation(bytes[lead])) --lead;
    if (!is_white_space(decode_utf8_scalar(bytes + lead, end - lead))) break;
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
