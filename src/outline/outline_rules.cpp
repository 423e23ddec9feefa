// The rules table. A function is a "method" only by the depth it is found at,
// never by its parameters or its container's kind.
#include "outline/outline_rules.h"

namespace marblewick {
namespace {

constexpr OutlineRule PYTHON_RULES[] = {
    {"class_definition", RuleDepth::ANY, "class", "block"},
    {"function_definition", RuleDepth::TOP_ONLY, "function", ""},
    {"function_definition", RuleDepth::MEMBER_ONLY, "method", ""},
};

// A trait's required method is a "function_signature_item" and stays "fn"
// inside the trait; only items with a body become methods there. Inline
// modules are listed but their items are not.
constexpr OutlineRule RUST_RULES[] = {
    {"mod_item", RuleDepth::ANY, "mod", ""},
    {"enum_item", RuleDepth::ANY, "enum", ""},
    {"impl_item", RuleDepth::ANY, "impl", "declaration_list"},
    {"trait_item", RuleDepth::ANY, "trait", "declaration_list"},
    {"struct_item", RuleDepth::ANY, "struct", ""},
    {"function_item", RuleDepth::TOP_ONLY, "fn", ""},
    {"function_item", RuleDepth::MEMBER_ONLY, "method", ""},
    {"function_signature_item", RuleDepth::ANY, "fn", ""},
};

// JavaScript, TypeScript and TSX. A method definition outside a class body is
// not a declaration of the file.
constexpr OutlineRule SCRIPT_RULES[] = {
    {"class_declaration", RuleDepth::ANY, "class", "class_body"},
    {"abstract_class_declaration", RuleDepth::ANY, "class", "class_body"},
    {"method_definition", RuleDepth::MEMBER_ONLY, "method", ""},
    {"function_declaration", RuleDepth::ANY, "function", ""},
    {"generator_function_declaration", RuleDepth::ANY, "function", ""},
    {"interface_declaration", RuleDepth::ANY, "interface", ""},
    {"enum_declaration", RuleDepth::ANY, "enum", ""},
    {"type_alias_declaration", RuleDepth::ANY, "type", ""},
};

bool applies_at(RuleDepth rule_depth, unsigned depth) {
  switch (rule_depth) {
    case RuleDepth::ANY:
      return true;
    case RuleDepth::TOP_ONLY:
      return depth == 0;
    case RuleDepth::MEMBER_ONLY:
      return depth == 1;
  }
  return false;
}

}  // namespace

std::span<const OutlineRule> outline_rules_for(std::string_view language) {
  if (language == "python") return PYTHON_RULES;
  if (language == "rust") return RUST_RULES;
  if (language == "javascript" || language == "typescript" || language == "tsx") {
    return SCRIPT_RULES;
  }
  return {};
}

const OutlineRule* find_outline_rule(std::span<const OutlineRule> rules,
                                     std::string_view node_kind, unsigned depth) {
  for (const OutlineRule& rule : rules) {
    if (rule.node_kind == node_kind && applies_at(rule.depth, depth)) return &rule;
  }
  return nullptr;
}

}  // namespace marblewick
