// obtain_source_tree.
#include "syntax/source_tree.h"

#include <cstdint>
#include <optional>
#include <utility>

#include "syntax/language.h"

namespace marblewick {

Expected<SourceTree> obtain_source_tree(const JsonValue& payload, LanguageFilter wanted) {
  Expected<TextBuffer> text = obtain_source(payload);
  if (!text) return std::move(text).error();

  SourceTree source{std::move(text).value(), resolve_language(payload), std::nullopt};
  if (!source.language.has_grammar() || !wanted(source.language)) return source;
  const TSLanguage* grammar = source.language.grammar();

  // "timeout_ms" follows the rule of every count field: anything but a
  // non-negative integer means the default, no limit.
  std::uint64_t timeout_ms = payload.count_field("timeout_ms").value_or(NO_PARSE_TIMEOUT);
  Expected<ParsedSource> parsed = parse_source(grammar, source.text.view(), timeout_ms);
  if (!parsed) return std::move(parsed).error();
  source.parsed.emplace(std::move(parsed).value());
  return source;
}

}  // namespace marblewick
