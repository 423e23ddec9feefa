// The error walk: depth first, in document order, over every node of the
// tree, hidden ones included (FullTreeWalk keeps an explicit stack, so deeply
// nested text cannot exhaust the call stack).
#include "syntax/syntax_errors.h"

#include <string_view>

#include "base/utf8.h"
#include "syntax/full_tree_walk.h"

namespace marblewick {
namespace {

// The name a missing node is reported by: the node type the public API gives
// it, except that a hidden token's name loses its leading underscore, the
// grammar's mark for hidden (Python's "_newline" is reported as "newline").
std::string_view missing_name(TSNode node, bool visible) {
  std::string_view name = ts_node_type(node);
  if (!visible && name.size() > 1 && name.front() == '_') name.remove_prefix(1);
  return name;
}

SyntaxErrorEntry entry_for(TSNode node, bool visible, const LineTable& lines) {
  TSPoint start = ts_node_start_point(node);
  SyntaxErrorEntry entry;
  entry.line = std::uint64_t{start.row} + 1;
  // The parser's column is a byte count; it is reported as such.
  entry.column = std::uint64_t{start.column} + 1;
  entry.missing = ts_node_is_missing(node);
  if (entry.missing) {
    entry.message = "missing ";
    entry.message += missing_name(node, visible);
  } else {
    entry.message = "syntax error";
  }
  // A problem after the text's final LF has no line to quote.
  if (std::optional<std::string_view> line = lines.line(start.row)) {
    entry.snippet = prefix_of_chars(*line, MAX_SNIPPET_CHARS);
  }
  return entry;
}

}  // namespace

std::vector<SyntaxErrorEntry> collect_syntax_errors(TSNode root, const LineTable& lines) {
  std::vector<SyntaxErrorEntry> errors;
  // A tree without any problem is skipped at its root, before the walk
  // reserves anything (an error or missing node always has an error).
  if (!ts_node_has_error(root)) return errors;

  FullTreeWalk walk(root);
  FullTreeWalk::Step step;
  while (walk.next(step)) {
    // Checked before the node is looked at: the walk ends at the first node
    // taken once the list is full, and the list never grows past the cap.
    if (errors.size() >= MAX_SYNTAX_ERRORS) break;
    TSNode node = step.node;

    if (!step.visible) {
      // A hidden node is passed through, as the public cursor does, but a
      // missing one is a problem like any other: error recovery inserted a
      // token the text lacks (Python's newline between two statements on
      // one line). Hidden nodes are never error nodes, which are visible.
      if (ts_node_is_missing(node)) errors.push_back(entry_for(node, false, lines));
      walk.enter(node);
      continue;
    }
    bool is_error = ts_node_is_error(node);
    if (is_error || ts_node_is_missing(node)) errors.push_back(entry_for(node, true, lines));
    // An error node is reported once as a whole; whatever recovery left
    // inside it would only restate the same problem.
    if (is_error) continue;
    // Subtrees without any problem are skipped at their root.
    if (ts_node_has_error(node)) walk.enter(node);
  }
  return errors;
}

}  // namespace marblewick
