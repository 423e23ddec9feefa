// The rules table. A function is a "method" only by the depth it is found at,
// never by its parameters or its container's kind.
#include "outline/outline_rules.h"

#include <array>
#include <cstddef>

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

// A switch rather than a list in enum order, so that each language's rows are
// named where they are chosen and a new language without a case is a warning.
constexpr std::span<const OutlineRule> rules_of(Language language) {
  switch (language) {
    case Language::PYTHON:
      return PYTHON_RULES;
    case Language::JAVASCRIPT:
    case Language::TYPESCRIPT:
    case Language::TSX:
      return SCRIPT_RULES;
    case Language::RUST:
      return RUST_RULES;
    case Language::JSON:
      return {};
  }
  return {};
}

// The rows of each language, indexed by Language.
constexpr auto RULES_BY_LANGUAGE = [] {
  std::array<std::span<const OutlineRule>, LANGUAGE_COUNT> rows{};
  for (const LanguageEntry& entry : LANGUAGE_TABLE) {
    rows[static_cast<std::size_t>(entry.language)] = rules_of(entry.language);
  }
  return rows;
}();

// The registry says which languages have an outline; the rows here must say
// the same, language by language.
constexpr bool rules_agree_with_the_registry() {
  for (const LanguageEntry& entry : LANGUAGE_TABLE) {
    bool has_rows = !RULES_BY_LANGUAGE[static_cast<std::size_t>(entry.language)].empty();
    if (has_rows != entry.has_outline_rules) return false;
  }
  return true;
}
static_assert(rules_agree_with_the_registry(),
              "a language has outline rows exactly when LANGUAGE_TABLE says it has outline rules");

}  // namespace

std::span<const OutlineRule> outline_rules_for(Language language) {
  return RULES_BY_LANGUAGE[static_cast<std::size_t>(language)];
}

}  // namespace marblewick
