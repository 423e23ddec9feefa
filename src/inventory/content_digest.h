// content_digest and count_lines: what "hash" and "scan" report of a text, and
// the line-ending normalisation the digest is taken after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace marblewick {

// CR LF, then every remaining lone CR, become LF; CR CR LF gives LF LF.
std::string normalize_line_endings(std::string_view text);

// The same in place (the text only shrinks); gives the new size. A CR at the
// very end becomes LF, so a caller holding a piece of a longer text keeps a
// final CR back until it knows the byte after it.
std::size_t normalize_line_endings_in_place(char* data, std::size_t size);

// SHA-256 of the line-ending-normalised text as 64 lower-case hex digits.
std::string content_digest(std::string_view text);

// 0 for an empty text, else 1 plus the number of LF bytes (CR is not counted).
std::uint64_t count_lines(std::string_view text);

}  // namespace marblewick
