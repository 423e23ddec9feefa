// The "outline" command: obtain, resolve, parse, walk the top two levels.
#include "outline/outline.h"

#include <algorithm>

#include "outline/outline_walk.h"
#include "syntax/grammar.h"
#include "syntax/parse.h"
#include "syntax/source_input.h"

namespace marblewick {
namespace {

// Languages without a grammar, and JSON (data, not declarations), get this
// answer without being parsed.
CommandResult no_outline_result(LanguageId language) {
  JsonObject result;
  result.emplace("checked", JsonValue(false));
  result.emplace("language", JsonValue(std::move(language)));
  result.emplace("reason", JsonValue("no_outline"));
  result.emplace("symbol_count", JsonValue::count(0));
  result.emplace("symbols", JsonValue(JsonArray()));
  return CommandResult::success(std::move(result));
}

}  // namespace

CommandResult outline_command(const JsonValue& payload) {
  // The text comes first: an unreadable file is reported whatever its language.
  Expected<TextBuffer> source = obtain_source(payload);
  if (!source) return CommandResult::error(std::move(source).error());
  std::string_view text = source.value().view();

  LanguageId language = resolve_language(payload);
  if (language == "json") return no_outline_result(std::move(language));
  const TSLanguage* grammar = grammar_for_language(language);
  if (grammar == nullptr) return no_outline_result(std::move(language));

  Expected<ParsedSource> parsed = parse_source(grammar, text);
  if (!parsed) return CommandResult::error(std::move(parsed).error());

  TSNode root = parsed.value().root();
  JsonArray symbols;
  symbols.reserve(std::min<std::size_t>(ts_node_child_count(root), MAX_OUTLINE_SYMBOLS));
  collect_outline(root, text, language, 0, symbols);

  JsonObject result;
  result.emplace("checked", JsonValue(true));
  result.emplace("language", JsonValue(std::move(language)));
  result.emplace("symbol_count", JsonValue::count(symbols.size()));
  result.emplace("symbols", JsonValue(std::move(symbols)));
  return CommandResult::success(std::move(result));
}

}  // namespace marblewick
