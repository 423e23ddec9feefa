// count_line_feeds: the one line-feed counter, for line counts and line tables.
#pragma once

#include <cstdint>
#include <string_view>

namespace marblewick {

// The number of LF bytes in the text (a CR is not a line feed).
std::uint64_t count_line_feeds(std::string_view text);

}  // namespace marblewick
