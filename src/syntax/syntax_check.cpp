// The "syntax-check" command: obtain, resolve, parse, walk, report.
#include "syntax/syntax_check.h"

#include "syntax/grammar.h"
#include "syntax/line_table.h"
#include "syntax/parse.h"
#include "syntax/source_input.h"
#include "syntax/syntax_errors.h"

namespace marblewick {
namespace {

// A language without a grammar is an answer, not a failure: the text was
// simply not checked.
CommandResult no_parser_result(LanguageId language) {
  JsonObject result;
  result.emplace("checked", JsonValue(false));
  result.emplace("error_count", JsonValue::count(0));
  result.emplace("errors", JsonValue(JsonArray()));
  result.emplace("language", JsonValue(std::move(language)));
  result.emplace("reason", JsonValue("no_parser"));
  result.emplace("valid", JsonValue(true));
  return CommandResult::success(std::move(result));
}

}  // namespace

CommandResult syntax_check_command(const JsonValue& payload) {
  // The text comes first: an unreadable file is reported whatever its language.
  Expected<TextBuffer> source = obtain_source(payload);
  if (!source) return CommandResult::error(std::move(source).error());
  std::string_view text = source.value().view();

  LanguageId language = resolve_language(payload);
  const TSLanguage* grammar = grammar_for_language(language);
  if (grammar == nullptr) return no_parser_result(std::move(language));

  Expected<ParsedSource> parsed = parse_source(grammar, text);
  if (!parsed) return CommandResult::error(std::move(parsed).error());

  // Lines are only quoted for problems, and a tree without any has none to
  // report, so a clean text skips the scan for line feeds altogether.
  TSNode root = parsed.value().root();
  LineTable lines = build_line_table(ts_node_has_error(root) ? text : std::string_view());
  std::vector<SyntaxErrorEntry> errors = collect_syntax_errors(root, lines);

  JsonArray entries;
  entries.reserve(errors.size());
  for (const SyntaxErrorEntry& error : errors) entries.push_back(error.to_json());

  JsonObject result;
  result.emplace("checked", JsonValue(true));
  result.emplace("error_count", JsonValue::count(entries.size()));
  result.emplace("valid", JsonValue(entries.empty()));
  result.emplace("errors", JsonValue(std::move(entries)));
  result.emplace("language", JsonValue(std::move(language)));
  return CommandResult::success(std::move(result));
}

}  // namespace marblewick
