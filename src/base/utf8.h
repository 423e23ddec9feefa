// UTF-8: the one place that knows lead bytes, sequence lengths and the valid
// ranges, for file reading, snippets, signatures, payload escapes and scan paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace marblewick {

inline constexpr std::size_t MAX_UTF8_SEQUENCE_BYTES = 4;

inline bool is_utf8_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the sequence a lead byte announces. Meant for text already
// known to be valid, or for bytes that only need to be grouped: a stray
// continuation byte or an invalid lead counts as 1.
inline std::size_t utf8_sequence_length(unsigned char lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

bool is_valid_utf8(std::string_view bytes);

// Where the last complete sequence of `bytes` ends: an unfinished sequence at
// the end (at most MAX_UTF8_SEQUENCE_BYTES - 1 bytes) is left after it, for a
// reader to carry into its next piece.
std::size_t end_of_complete_sequences(std::string_view bytes);

// The scalar value of the sequence of `length` bytes at `p`, from valid text.
char32_t decode_utf8_scalar(const unsigned char* p, std::size_t length);

// Appends the UTF-8 form of a scalar value (not a surrogate, at most U+10FFFF).
void append_utf8(std::string& out, std::uint32_t scalar);

// The longest prefix of a valid UTF-8 text holding at most `max_chars` Unicode
// scalar values; a character is never split.
std::string_view prefix_of_chars(std::string_view text, std::size_t max_chars);

// Bytes as text, each maximal invalid sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace marblewick
