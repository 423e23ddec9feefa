// collect_syntax_errors: the error and missing nodes of a syntax tree, missing
// hidden tokens included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <tree_sitter/api.h>

#include "syntax/line_table.h"

namespace marblewick {

// The most problems one check reports; the walk stops once it has them.
inline constexpr std::size_t MAX_SYNTAX_ERRORS = 20;
// Snippets quote at most this many characters of their line.
inline constexpr std::size_t MAX_SNIPPET_CHARS = 120;

// One reported problem. Line and column are 1-based; the column counts bytes
// from the start of the line, as the parser does, not characters.
struct SyntaxErrorEntry {
  std::uint64_t line = 0;
  std::uint64_t column = 0;
  bool missing = false;  // "missing" kind when true, "error" otherwise
  std::string message;
  std::string snippet;
};

// At most MAX_SYNTAX_ERRORS entries, in document order. A missing hidden token
// (a grammar name beginning with '_') is reported by its name without that
// underscore: "missing newline" for Python's "_newline".
std::vector<SyntaxErrorEntry> collect_syntax_errors(TSNode root, const LineTable& lines);

}  // namespace marblewick
