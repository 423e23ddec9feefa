// parse_source: one fresh parse of a whole text with one grammar.
#pragma once

#include <cstdint>
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
  // The steps of work the parse took (see the work ceiling below).
  std::uint64_t work_steps = 0;

  ParsedSource() = default;
  ParsedSource(ParsedSource&&) noexcept = default;
  ParsedSource& operator=(ParsedSource&&) = delete;
  // Every node of the tree lies in the parse's memory, which goes last:
  // freeing that memory at once frees the tree without walking it node by
  // node (2 to 3% of a call). Not when some of it came from elsewhere (the
  // reserve, or the plain allocator), which must have its blocks back one by
  // one (ParserMemory::can_discard).
  ~ParsedSource() {
    if (tree && memory.can_discard()) {
      (void)tree.release();
      memory.discard_at_end();
    }
  }

  TSNode root() const { return ts_tree_root_node(tree.get()); }
};

// The grammar ABI range that this parser runtime can load.
inline constexpr std::uint32_t MIN_GRAMMAR_ABI = TREE_SITTER_MIN_COMPATIBLE_LANGUAGE_VERSION;
inline constexpr std::uint32_t MAX_GRAMMAR_ABI = TREE_SITTER_LANGUAGE_VERSION;

bool grammar_abi_supported(std::uint32_t version);

// "Incompatible language version N. Expected minimum 13, maximum 15".
ErrorText incompatible_version_error(std::uint32_t version);

// A parse budget of 0 ms means none: the parse runs to its end.
inline constexpr std::uint64_t NO_PARSE_TIMEOUT = 0;

// Every parse has a memory ceiling, whether or not it has a time budget, so
// that no text can take the host's memory: the floor, plus this many bytes
// for each byte of text. It depends on the text alone, so a text gets the
// same answer on every machine, and lies far above what real files need
// (docs/limits.md, "The memory ceiling", gives the measurement behind it).
inline constexpr std::uint64_t PARSE_MEMORY_FLOOR_MIB = 256;
inline constexpr std::uint64_t PARSE_MEMORY_BYTES_PER_TEXT_BYTE = 1300;

// The ceiling in MiB for a text of `text_bytes` bytes.
std::uint64_t parse_memory_ceiling_mib(std::size_t text_bytes);

// Tests only: every later parse in the process gets this ceiling instead
// (0 restores the rule above), so that the ceiling can be reached cheaply.
void set_parse_memory_ceiling_for_tests(std::uint64_t mib);

// Every parse also has a work ceiling, so that no text can hold the caller for
// long: the floor, plus this many steps for each byte of text. A step is one
// byte the parser's lexer reads past (a text is read again wherever a token
// left open is tried anew), four children that error recovery copies into a
// merged error node, one stack version for each parse action, four stack
// nodes that error handling's summaries of the stack visit or two that a
// reduction's pop visits; a path a pop returns and a merge of two stack
// versions tried cost four steps each. Like the memory
// ceiling it depends on the text alone and lies far above what real files
// need (docs/limits.md, "The work ceiling").
inline constexpr std::uint64_t PARSE_WORK_FLOOR_STEPS = 16'000'000;
inline constexpr std::uint64_t PARSE_WORK_STEPS_PER_TEXT_BYTE = 210;

// The ceiling in steps for a text of `text_bytes` bytes.
std::uint64_t parse_work_ceiling_steps(std::size_t text_bytes);

// Tests only, like the memory ceiling's: every later parse gets this ceiling
// instead (0 restores the rule above).
void set_parse_work_ceiling_for_tests(std::uint64_t steps);

// Errors, by kind: parse_budget "parse did not finish within N ms" (N as
// given), parse_memory_ceiling "parse needed more than N MiB" (N the
// ceiling), parse_work_ceiling "parse needed more than N steps of work" (N
// the ceiling), out_of_memory "out of memory", and parse_refused "Incompatible
// language version N. Expected minimum 13, maximum 15", "source text too large
// to parse: N bytes, at most 4294967295", "tree-sitter parse returned no
// tree". Syntax errors in the text are not failures: they are error and
// missing nodes in the tree.
Expected<ParsedSource> parse_source(const TSLanguage* grammar, std::string_view text,
                                    std::uint64_t timeout_ms = NO_PARSE_TIMEOUT);

}  // namespace marblewick
