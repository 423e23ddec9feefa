// The "syntax-check" command: obtain and parse, walk for problems, report.
#include "syntax/syntax_check_command.h"

#include <string>
#include <utility>
#include <vector>

#include "syntax/line_table.h"
#include "syntax/source_tree.h"
#include "syntax/syntax_errors.h"

namespace marblewick {
namespace {

// A language without a grammar is an answer, not a failure: the text was
// simply not checked.
JsonValue no_parser_result(std::string language) {
  JsonObject result;
  result.emplace("checked", JsonValue(false));
  result.emplace("error_count", JsonValue::count(0));
  result.emplace("errors", JsonValue(JsonArray()));
  result.emplace("language", JsonValue(std::move(language)));
  result.emplace("reason", JsonValue("no_parser"));
  result.emplace("valid", JsonValue(true));
  return success_object(std::move(result));
}

JsonValue error_entry_json(SyntaxErrorEntry& error) {
  JsonObject object;
  object.emplace("column", JsonValue(error.column));
  object.emplace("kind", JsonValue(error.missing ? "missing" : "error"));
  object.emplace("line", JsonValue(error.line));
  object.emplace("message", JsonValue(std::move(error.message)));
  object.emplace("snippet", JsonValue(std::move(error.snippet)));
  return JsonValue(std::move(object));
}

}  // namespace

CommandResult syntax_check_command(const JsonValue& payload) {
  Expected<SourceTree> source = obtain_source_tree(payload);
  if (!source) return std::move(source).error();
  return syntax_check_result(source.value());
}

JsonValue syntax_check_result(const SourceTree& subject) {
  if (!subject.parsed) return no_parser_result(subject.language.name);

  // Lines are only quoted for problems, and a tree without any has none to
  // report, so a clean text skips the scan for line feeds altogether.
  TSNode root = subject.parsed->root();
  std::string_view text = subject.text.view();
  LineTable lines = build_line_table(ts_node_has_error(root) ? text : std::string_view());
  std::vector<SyntaxErrorEntry> errors = collect_syntax_errors(root, lines);

  JsonArray entries;
  entries.reserve(errors.size());
  for (SyntaxErrorEntry& error : errors) entries.push_back(error_entry_json(error));

  JsonObject result;
  result.emplace("checked", JsonValue(true));
  result.emplace("error_count", JsonValue::count(entries.size()));
  result.emplace("valid", JsonValue(entries.empty()));
  result.emplace("errors", JsonValue(std::move(entries)));
  result.emplace("language", JsonValue(subject.language.name));
  return success_object(std::move(result));
}

}  // namespace marblewick
