// The "outline" command: obtain and parse, walk the top two levels, report.
#include "outline/outline_command.h"

#include <algorithm>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "outline/outline_rules.h"
#include "outline/outline_walk.h"
#include "syntax/language.h"
#include "syntax/source_tree.h"

namespace marblewick {
namespace {

JsonValue no_outline_result(std::string language) {
  JsonObject result;
  result.emplace("checked", JsonValue(false));
  result.emplace("language", JsonValue(std::move(language)));
  result.emplace("reason", JsonValue("no_outline"));
  result.emplace("symbol_count", JsonValue::count(0));
  result.emplace("symbols", JsonValue(JsonArray()));
  return success_object(std::move(result));
}

JsonValue symbol_json(SymbolRecord& symbol) {
  JsonObject record;
  record.emplace("depth", JsonValue::count(symbol.depth));
  record.emplace("end_line", JsonValue(symbol.end_line));
  record.emplace("kind", JsonValue(symbol.kind));
  record.emplace("line", JsonValue(symbol.line));
  record.emplace("name", JsonValue(std::move(symbol.name)));
  record.emplace("signature", JsonValue(std::move(symbol.signature)));
  return JsonValue(std::move(record));
}

}  // namespace

// Languages without outline rules are not parsed for an outline at all: those
// without a grammar, and JSON, which holds data, not declarations.
CommandResult outline_command(const JsonValue& payload) {
  Expected<SourceTree> source = obtain_source_tree(payload, has_outline_rules);
  if (!source) return std::move(source).error();
  return outline_result(source.value());
}

JsonValue outline_result(const SourceTree& subject) {
  // A parsed subject always has a known language; "analyse" parses JSON too,
  // which has no rows.
  std::span<const OutlineRule> rules;
  if (subject.parsed) rules = outline_rules_for(*subject.language.known);
  if (rules.empty()) return no_outline_result(subject.language.name);

  TSNode root = subject.parsed->root();
  std::vector<SymbolRecord> records;
  records.reserve(std::min<std::size_t>(ts_node_child_count(root), MAX_OUTLINE_SYMBOLS));
  collect_outline(root, subject.text.view(), rules, 0, records);

  JsonArray symbols;
  symbols.reserve(records.size());
  for (SymbolRecord& record : records) symbols.push_back(symbol_json(record));

  JsonObject result;
  result.emplace("checked", JsonValue(true));
  result.emplace("language", JsonValue(subject.language.name));
  result.emplace("symbol_count", JsonValue::count(symbols.size()));
  result.emplace("symbols", JsonValue(std::move(symbols)));
  return success_object(std::move(result));
}

}  // namespace marblewick
