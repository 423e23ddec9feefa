// FullTreeWalk: every node of a syntax tree in document order, the grammar's
// hidden nodes included.
#pragma once

#include <vector>

#include <tree_sitter/api.h>

namespace marblewick {

// The public cursor and child calls show only visible nodes: they pass
// through a hidden node to its visible children and skip a hidden node that
// has none. A grammar's hidden tokens (Python's newline, indent and dedent)
// are such nodes, and so is a missing one that error recovery inserted. This
// walk stops at every node, hidden or not, and leaves it to its user which
// nodes to enter; the nodes it hands out are the ones the public API would
// give for the same positions (same start, same alias, same type name).
//
// The walk keeps an explicit stack, so deep nesting cannot exhaust the call
// stack, and each node is handed out at most once.
//
// Its implementation reads the parser runtime's internal structures (see
// full_tree_walk.cpp), which only the pinned runtime version is known to have.
class FullTreeWalk {
 public:
  struct Step {
    TSNode node;
    // What the public cursor shows: a visible symbol, or any aliased one.
    // The root is always shown.
    bool visible;
  };

  explicit FullTreeWalk(TSNode root);

  // Takes the next node in document order; false once the walk is over.
  bool next(Step& step);
  // The children of `node`, which must be the node last taken, come next,
  // before its following siblings. A leaf has none.
  void enter(TSNode node);

 private:
  std::vector<Step> stack_;
};

}  // namespace marblewick
