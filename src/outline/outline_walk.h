// collect_outline: the declarations among a node's children, and the members
// of the containers found at the top level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

#include "outline/outline_rules.h"

namespace marblewick {

// The most records one outline holds; the walk stops examining children once
// the list is full, at both depths.
inline constexpr std::size_t MAX_OUTLINE_SYMBOLS = 200;

// One declaration. Lines are 1-based; depth is 0 for the top level and 1 for
// a container's members.
struct SymbolRecord {
  unsigned depth = 0;
  std::uint64_t line = 0;
  std::uint64_t end_line = 0;
  std::string_view kind;  // from the rules table, which outlives every record
  std::string name;
  std::string signature;
};

// Appends a record for each declaration among `node`'s children (depth 0 for
// the root, 1 for a container's body) and, at depth 0 only, walks each
// container's body right after the container's record. `source` is the text
// the tree was parsed from; `rules` are the rows of the language it was parsed
// as, chosen once by the caller for the whole walk.
void collect_outline(TSNode node, std::string_view source, std::span<const OutlineRule> rules, unsigned depth,
                     std::vector<SymbolRecord>& symbols);

}  // namespace marblewick
