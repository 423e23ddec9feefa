// parse_source: one fresh parse of a whole text with one grammar.
#pragma once

#include <string_view>

#include <tree_sitter/api.h>

#include "base/expected.h"
#include "syntax/parser_memory.h"
#include "syntax/ts_handles.h"

namespace marblewick {

// A syntax tree with the parser that made it. Members are destroyed in reverse
// order, so the tree goes before its parser, and the memory they were built
// in goes last. Cursors over the tree must end before it.
struct ParsedSource {
  ParserMemory memory;
  ParserHandle parser;
  TreeHandle tree;

  TSNode root() const { return ts_tree_root_node(tree.get()); }
};

// Error texts: "Incompatible language version N. Expected minimum 13, maximum
// 15", "source text too large to parse: N bytes, at most 4294967295", "tree-sitter
// parse returned no tree". Syntax errors in the text are not failures: they
// are error and missing nodes in the tree.
Expected<ParsedSource> parse_source(const TSLanguage* grammar, std::string_view text);

}  // namespace marblewick
