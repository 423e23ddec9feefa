// parse_source. The whole text is handed over in one piece and parsed from
// scratch: no previous tree, no time limit, no cancellation, no logger.
#include "syntax/parse.h"

#include <cstdint>
#include <limits>
#include <string>

namespace marblewick {
namespace {

// The grammar ABI range that this parser runtime can load.
constexpr std::uint32_t MIN_GRAMMAR_ABI = TREE_SITTER_MIN_COMPATIBLE_LANGUAGE_VERSION;
constexpr std::uint32_t MAX_GRAMMAR_ABI = TREE_SITTER_LANGUAGE_VERSION;

// The parser counts bytes in 32 bits; a longer text would have its offsets
// wrap and its tree describe the wrong bytes.
constexpr std::size_t MAX_PARSE_BYTES = std::numeric_limits<std::uint32_t>::max();

std::string incompatible_version_text(std::uint32_t version) {
  return "Incompatible language version " + std::to_string(version) + ". Expected minimum " +
         std::to_string(MIN_GRAMMAR_ABI) + ", maximum " + std::to_string(MAX_GRAMMAR_ABI);
}

}  // namespace

Expected<ParsedSource> parse_source(const TSLanguage* grammar, std::string_view text) {
  if (text.size() > MAX_PARSE_BYTES) {
    return ErrorText("source text too large to parse: " + std::to_string(text.size()) +
                     " bytes, at most " + std::to_string(MAX_PARSE_BYTES));
  }

  ParsedSource parsed;
  parsed.parser.reset(ts_parser_new());

  std::uint32_t version = ts_language_abi_version(grammar);
  if (version < MIN_GRAMMAR_ABI || version > MAX_GRAMMAR_ABI ||
      !ts_parser_set_language(parsed.parser.get(), grammar)) {
    return ErrorText(incompatible_version_text(version));
  }

  // The string entry point reads through a callback that always returns the
  // whole rest of the text, so the parser sees it in one chunk.
  parsed.tree.reset(ts_parser_parse_string(parsed.parser.get(), nullptr, text.data(),
                                           static_cast<std::uint32_t>(text.size())));
  if (!parsed.tree) return ErrorText("tree-sitter parse returned no tree");
  return parsed;
}

}  // namespace marblewick
