// The outline's rules table: which node kinds are declarations, per language,
// and which of them are containers whose body is listed too.
#pragma once

#include <span>
#include <string_view>

#include "syntax/language.h"

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

// The rows for a language: Python's, Rust's, or the rows the three script
// languages (JavaScript, TypeScript, TSX) share. JSON has none.
std::span<const OutlineRule> outline_rules_for(Language language);

}  // namespace marblewick
