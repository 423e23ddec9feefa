// build_line_table: a text's lines, numbered the way the parser numbers rows.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace marblewick {

// Lines of a text as views into it. A line ends at LF, and only there, which
// is also where the parser starts a new row, so row r is line r. The LF is not
// part of the line, nor is a CR directly before it; a lone CR stays.
class LineTable {
 public:
  LineTable(std::string_view text, std::vector<std::size_t> starts)
      : text_(text), starts_(std::move(starts)) {}

  // A text ending in LF has no empty line after it; the empty text has none.
  std::size_t line_count() const noexcept {
    if (starts_.back() == text_.size()) return starts_.size() - 1;
    return starts_.size();
  }

  std::optional<std::string_view> line(std::size_t index) const;

 private:
  std::string_view text_;
  // Offset of line 0, then the offset after each LF. The last one may equal
  // the text's size (the text ends in LF or is empty); it starts no line.
  std::vector<std::size_t> starts_;
};

// Scans the text once; the table refers into it, so it must outlive the table.
LineTable build_line_table(std::string_view text);

}  // namespace marblewick
