// UTF-8 helpers shared by file reading, snippets, signatures and scan paths.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace marblewick {

bool is_valid_utf8(std::string_view bytes);

// The longest prefix of a valid UTF-8 text holding at most `max_chars` Unicode
// scalar values; a character is never split.
std::string_view prefix_of_chars(std::string_view text, std::size_t max_chars);

// Bytes as text, each maximal invalid sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace marblewick
