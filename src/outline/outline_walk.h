// collect_outline: the declarations among a node's children, and the members
// of the containers found at the top level.
#pragma once

#include <cstddef>
#include <string_view>

#include <tree_sitter/api.h>

#include "lib/json_value.h"

namespace marblewick {

// The most records one outline holds; the walk stops examining children once
// the list is full, at both depths.
inline constexpr std::size_t MAX_OUTLINE_SYMBOLS = 200;

// Appends a record for each declaration among `node`'s children (depth 0 for
// the root, 1 for a container's body) and, at depth 0 only, walks each
// container's body right after the container's record. `source` is the text
// the tree was parsed from; `language` is a script language, "python" or "rust".
void collect_outline(TSNode node, std::string_view source, std::string_view language,
                     unsigned depth, JsonArray& symbols);

}  // namespace marblewick
