// obtain_source_tree, and the steps it takes: where the text and the language
// name come from (the payload's "content", "path" and "language" fields), and
// the one parse.
#include "syntax/source_tree.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "base/error_texts.h"
#include "io/text_file.h"
#include "json/command_result.h"
#include "syntax/language.h"

namespace marblewick {
namespace {

// The text to analyse: a copy of a "content" string, else the file named by
// "path". Error texts: "missing required field: content or path", or the file
// reader's text unchanged.
Expected<TextBuffer> obtain_source(const JsonValue& payload) {
  if (const std::string* content = payload.string_field("content")) {
    // Exhausted memory is an error, never an empty text checked as the caller's.
    TextBuffer text;
    if (!text.reserve(content->size())) return out_of_memory_error();
    if (!content->empty()) std::memcpy(text.data(), content->data(), content->size());
    text.set_size(content->size());
    return text;
  }
  if (const std::string* path = payload.string_field("path")) return read_text_file(*path);
  return missing_field_error("content or path");
}

// An explicit "language" string wins, even when empty; otherwise the language
// detected from "path"; otherwise "". Never fails.
ResolvedLanguage resolve_language(const JsonValue& payload) {
  if (const std::string* language = payload.string_field("language")) {
    return resolve_language_name(*language);
  }
  if (const std::string* path = payload.string_field("path")) {
    if (std::optional<ResolvedLanguage> detected = detect_language(*path)) return std::move(*detected);
  }
  return ResolvedLanguage();
}

}  // namespace

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
