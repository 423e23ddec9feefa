// collect_tags_outline: the records of a registered language's outline, from
// its tags query.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

#include "outline/outline_walk.h"
#include "outline/tags_query.h"

namespace marblewick {

// The most matches a tags query may hold in progress at once. Real files
// hold a handful (one per enclosing declaration that a pattern still waits
// on); without a limit a text nested a hundred thousand deep would hold as
// many, each examined again at every node, which is quadratic.
inline constexpr std::uint32_t MAX_TAGS_MATCHES_IN_PROGRESS = 256;

// How deep in the tree (counting visible nodes) a match may begin. Without a
// limit, the query's walk over a text nested tens of thousands deep costs
// time quadratic in the depth (15 s for 30,000 nested C statement
// expressions); with it the walk does not enter what lies deeper (90,000
// levels then take 0.6 s). Real declarations begin far above it: over 9,000
// C files of /usr/include and the grammars' own sources, 64 would lose 28 of
// 281,423 records and 128 loses none.
inline constexpr std::uint32_t MAX_TAGS_START_DEPTH = 128;

// Appends the outline's records in source order: one per @name node (where
// two patterns name the same node, the one written first in the query), with
// the kind of its @definition.<kind> capture, its depth the number of other
// definitions whose text strictly contains its own, depths 0 and 1 only, at
// most MAX_OUTLINE_SYMBOLS. False when the query passed
// MAX_TAGS_MATCHES_IN_PROGRESS, so that matches were dropped: the records are
// then not to be used.
bool collect_tags_outline(const TagsOutline& tags, TSNode root, std::string_view source,
                          std::vector<SymbolRecord>& symbols);

}  // namespace marblewick
