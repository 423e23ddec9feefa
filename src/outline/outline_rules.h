// The outline's rules table: which node kinds are declarations, per language,
// and which of them are containers whose body is listed too.
#pragma once

#include <span>
#include <string_view>

namespace marblewick {

enum class RuleDepth { ANY, TOP_ONLY, MEMBER_ONLY };

struct OutlineRule {
  std::string_view node_kind;
  RuleDepth depth;
  std::string_view symbol_kind;
  // The kind of the "body" field child walked at depth 0; empty when the
  // declaration is not a container.
  std::string_view body_kind;
};

// The rows for a language name: "python", "rust", or one of the three script
// languages ("javascript", "typescript", "tsx"), which share their rows. Other
// names have none.
std::span<const OutlineRule> outline_rules_for(std::string_view language);

// The row for a node kind at a depth (0 or 1), or null when none applies.
const OutlineRule* find_outline_rule(std::span<const OutlineRule> rules,
                                     std::string_view node_kind, unsigned depth);

}  // namespace marblewick
