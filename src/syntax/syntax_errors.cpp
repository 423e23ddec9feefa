// The error walk: depth first, in document order, over an explicit stack so
// that deeply nested text cannot exhaust the call stack.
#include "syntax/syntax_errors.h"

#include <algorithm>

#include "base/utf8.h"
#include "syntax/ts_handles.h"

namespace marblewick {
namespace {

SyntaxErrorEntry entry_for(TSNode node, const LineTable& lines) {
  TSPoint start = ts_node_start_point(node);
  SyntaxErrorEntry entry;
  entry.line = std::uint64_t{start.row} + 1;
  // The parser's column is a byte count; it is reported as such.
  entry.column = std::uint64_t{start.column} + 1;
  entry.missing = ts_node_is_missing(node);
  if (entry.missing) {
    entry.message = "missing ";
    entry.message += ts_node_type(node);
  } else {
    entry.message = "syntax error";
  }
  // A problem after the text's final LF has no line to quote.
  if (std::optional<std::string_view> line = lines.line(start.row)) {
    entry.snippet = prefix_of_chars(*line, MAX_SNIPPET_CHARS);
  }
  return entry;
}

// Pushes the node's children so that the first child is popped first. The
// cursor walks siblings in constant time each; asking for children by index
// would rescan the node from its first child on every call, which turns a
// file of many top-level statements into quadratic work.
void push_children_reversed(TSNode node, TreeCursor& cursor, std::vector<TSNode>& stack) {
  std::size_t first = stack.size();
  cursor.reset(node);
  if (!cursor.goto_first_child()) return;
  do {
    stack.push_back(cursor.current_node());
  } while (cursor.goto_next_sibling());
  std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
}

}  // namespace

std::vector<SyntaxErrorEntry> collect_syntax_errors(TSNode root, const LineTable& lines) {
  std::vector<SyntaxErrorEntry> errors;
  std::vector<TSNode> stack;
  stack.reserve(64);
  stack.push_back(root);
  TreeCursor cursor(root);

  while (!stack.empty()) {
    TSNode node = stack.back();
    stack.pop_back();
    // Checked before the node is looked at: the walk ends at the first node
    // taken once the list is full, and the list never grows past the cap.
    if (errors.size() >= MAX_SYNTAX_ERRORS) break;

    bool is_error = ts_node_is_error(node);
    if (is_error || ts_node_is_missing(node)) errors.push_back(entry_for(node, lines));
    // An error node is reported once as a whole; whatever recovery left
    // inside it would only restate the same problem.
    if (is_error) continue;
    // Subtrees without any problem are skipped at their root.
    if (ts_node_has_error(node) && ts_node_child_count(node) > 0) {
      push_children_reversed(node, cursor, stack);
    }
  }
  return errors;
}

}  // namespace marblewick
