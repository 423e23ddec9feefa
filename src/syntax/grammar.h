// grammar_for_language: which of the built-in grammars parses a language name.
#pragma once

#include <string_view>

#include <tree_sitter/api.h>

namespace marblewick {

// The grammar for "python", "javascript", "typescript", "tsx", "rust" or
// "json", compared byte for byte (no case folding, no trimming); null for
// every other name, the empty one included.
const TSLanguage* grammar_for_language(std::string_view language);

}  // namespace marblewick
