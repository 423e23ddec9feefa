// build_line_table: one pass to count the lines and size the table, one memchr
// pass to fill it.
#include "syntax/line_table.h"

#include <cstring>

#include "base/line_feeds.h"

namespace marblewick {

std::optional<std::string_view> LineTable::line(std::size_t index) const {
  if (index >= line_count()) return std::nullopt;
  std::size_t start = starts_[index];
  bool ends_at_line_feed = index + 1 < starts_.size();
  std::size_t end = ends_at_line_feed ? starts_[index + 1] - 1 : text_.size();
  // Only a CR that pairs with the LF belongs to the line ending.
  if (ends_at_line_feed && end > start && text_[end - 1] == '\r') --end;
  return text_.substr(start, end - start);
}

LineTable build_line_table(std::string_view text) {
  std::vector<std::size_t> starts;
  starts.reserve(static_cast<std::size_t>(count_line_feeds(text)) + 1);
  starts.push_back(0);
  const char* base = text.data();
  const char* p = base;
  const char* end = base + text.size();
  while (p < end) {
    const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    if (hit == nullptr) break;
    p = static_cast<const char*>(hit) + 1;
    starts.push_back(static_cast<std::size_t>(p - base));
  }
  return LineTable(text, std::move(starts));
}

}  // namespace marblewick
