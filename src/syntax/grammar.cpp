// The grammar table. The grammars are compiled into the module; their entry
// points return static tables, so nothing is created or freed here.
#include "syntax/grammar.h"

extern "C" {
const TSLanguage* tree_sitter_python(void);
const TSLanguage* tree_sitter_javascript(void);
const TSLanguage* tree_sitter_typescript(void);
const TSLanguage* tree_sitter_tsx(void);
const TSLanguage* tree_sitter_rust(void);
const TSLanguage* tree_sitter_json(void);
}

namespace marblewick {
namespace {

struct GrammarEntry {
  std::string_view language;
  const TSLanguage* (*grammar)(void);
};

// "typescript" is the dialect without JSX, "tsx" the one with it.
constexpr GrammarEntry GRAMMAR_TABLE[] = {
    {"python", tree_sitter_python},         {"javascript", tree_sitter_javascript},
    {"typescript", tree_sitter_typescript}, {"tsx", tree_sitter_tsx},
    {"rust", tree_sitter_rust},             {"json", tree_sitter_json},
};

}  // namespace

const TSLanguage* grammar_for_language(std::string_view language) {
  for (const GrammarEntry& entry : GRAMMAR_TABLE) {
    if (entry.language == language) return entry.grammar();
  }
  return nullptr;
}

}  // namespace marblewick
