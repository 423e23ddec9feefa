// The filtering predicates of a tags query: #eq?, #not-eq?, #match?,
// #not-match?, #any-of?, #not-any-of? and their "any-" forms, read once at
// registration and tested on each match.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

#include "base/expected.h"
#include "outline/tags_regex.h"

namespace marblewick {

struct TagsPredicate {
  enum class Test : std::uint8_t { EQUAL, MATCH, ANY_OF };
  Test test = Test::EQUAL;
  bool positive = true;
  // #eq? and #match? hold for a capture of several nodes when every node
  // passes; their "any-" forms when one does. #any-of? asks it of every node.
  bool every_node = true;
  std::uint32_t capture = 0;
  std::optional<std::uint32_t> other_capture;  // #eq? @a @b
  std::string text;                            // #eq? @a "text"
  std::vector<std::string> values;             // #any-of?
  std::optional<TagsRegex> regex;              // #match?
};

// The predicates of one pattern. The documentation directives (#strip!,
// #set-adjacent!, #select-adjacent!, and any other name ending in "!") are
// left out, as they filter nothing. An unknown predicate, or one with the
// wrong arguments or a regular expression the matcher does not take, is an
// error text naming it.
Expected<std::vector<TagsPredicate>> read_tags_predicates(const TSQuery* query, std::uint32_t pattern);

// Whether every predicate holds for a match; `source` is the parsed text.
bool tags_predicates_hold(const std::vector<TagsPredicate>& predicates, const TSQueryMatch& match,
                          std::string_view source);

}  // namespace marblewick
