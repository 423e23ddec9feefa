// The walk over every node, hidden ones included.
//
// This file compiles against the parser runtime's internal headers (subtree.h,
// language.h, tree.h from the runtime's lib/src folder), not only its public
// api.h: the public API has no way to reach a hidden node that has no visible
// descendant, and a missing hidden token is exactly such a node. A TSNode's
// `id` is the runtime's `const Subtree*`; the walk reads the subtree's
// children, padding, size and flags, and the language's alias sequences, the
// way the runtime's own cursor does (tree_cursor.c, node.c). Those structures
// are not a stable interface: this file is tied to the pinned runtime version
// (cmake/dependency_pins.txt) and must be checked again whenever that pin
// moves. The tests compare its verdicts with the runtime's own
// ts_node_has_error over thousands of broken texts.
#include "syntax/full_tree_walk.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

// The runtime's internal headers come last: they define macros (array_push
// and the like) that must not reach the standard headers.
#include "tree-sitter/src/language.h"
#include "tree-sitter/src/length.h"
#include "tree-sitter/src/subtree.h"
#include "tree-sitter/src/tree.h"

namespace marblewick {
namespace {

Length start_of(TSNode node) {
  Length start;
  start.bytes = ts_node_start_byte(node);
  start.extent = ts_node_start_point(node);
  return start;
}

}  // namespace

FullTreeWalk::FullTreeWalk(TSNode root) {
  stack_.reserve(64);
  stack_.push_back(Step{root, true});
}

bool FullTreeWalk::next(Step& step) {
  if (stack_.empty()) return false;
  step = stack_.back();
  stack_.pop_back();
  return true;
}

void FullTreeWalk::enter(TSNode node) {
  const Subtree& parent = *static_cast<const Subtree*>(node.id);
  std::uint32_t count = ts_subtree_child_count(parent);
  if (count == 0) return;
  const Subtree* children = ts_subtree_children(parent);
  const TSSymbol* aliases = ts_language_alias_sequence(node.tree->language, parent.ptr->production_id);

  // As in the runtime's child iterators: the first child starts where its
  // parent does (they share their padding); every later one starts after the
  // previous child's size and its own padding. Extras take no place in the
  // alias sequence.
  std::size_t first = stack_.size();
  Length position = start_of(node);
  std::uint32_t structural_index = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const Subtree& child = children[i];
    TSSymbol alias = 0;
    if (!ts_subtree_extra(child)) {
      if (aliases != nullptr) alias = aliases[structural_index];
      ++structural_index;
    }
    if (i > 0) position = length_add(position, ts_subtree_padding(child));
    bool visible = ts_subtree_visible(child) || alias != 0;
    stack_.push_back(Step{ts_node_new(node.tree, &child, position, alias), visible});
    position = length_add(position, ts_subtree_size(child));
  }
  // Pushed in document order, reversed so that the first child is taken first.
  std::reverse(stack_.begin() + static_cast<std::ptrdiff_t>(first), stack_.end());
}

}  // namespace marblewick
