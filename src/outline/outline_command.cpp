// The "outline" command: obtain and parse, walk the top two levels, report.
#include "outline/outline_command.h"

#include <algorithm>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "outline/outline_rules.h"
#include "outline/outline_walk.h"
#include "outline/tags_walk.h"
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

bool has_outline(const ResolvedLanguage& language) {
  if (language.known) return has_outline_rules(*language.known);
  return language.registered != nullptr && language.registered->tags != nullptr;
}

// Languages without an outline are not parsed for one at all: those without
// a grammar, JSON, which holds data, not declarations, and registered ones
// without a tags query.
CommandResult outline_command(const JsonValue& payload) {
  Expected<SourceTree> source = obtain_source_tree(payload, has_outline);
  if (!source) return std::move(source).error();
  return outline_result(source.value());
}

CommandResult outline_result(const SourceTree& subject) {
  // "analyse" parses JSON and registered languages without a tags query too.
  if (!subject.parsed || !has_outline(subject.language)) return no_outline_result(subject.language.name);

  TSNode root = subject.parsed->root();
  std::vector<SymbolRecord> records;
  if (subject.language.known) {
    records.reserve(std::min<std::size_t>(ts_node_child_count(root), MAX_OUTLINE_SYMBOLS));
    collect_outline(root, subject.text.view(), outline_rules_for(*subject.language.known), 0, records);
  } else if (!collect_tags_outline(*subject.language.registered->tags, root, subject.text.view(), records)) {
    return ErrorText(ErrorKind::outline_limit, "tags query held more than " +
                                                   std::to_string(MAX_TAGS_MATCHES_IN_PROGRESS) +
                                                   " matches in progress at once");
  }

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
