// obtain_source_tree: the steps every analysis command opens with, written
// once: obtain the text, resolve its language, find its grammar, parse it.
#pragma once

#include <optional>

#include "base/expected.h"
#include "base/text_buffer.h"
#include "json/json_value.h"
#include "syntax/language.h"
#include "syntax/parse.h"

namespace marblewick {

// An analysis command's subject. `parsed` is empty when the text was not
// parsed: its language has no grammar, or the command has nothing to do in it.
// The tree refers to `text`, which therefore lives as long as it does.
struct SourceTree {
  TextBuffer text;
  ResolvedLanguage language;
  std::optional<ParsedSource> parsed;
};

// Which of the languages with a grammar a command wants parsed at all.
using LanguageFilter = bool (*)(const ResolvedLanguage& language);

inline bool every_language(const ResolvedLanguage&) { return true; }

// The text comes first, so an unreadable file is reported whatever its
// language; then the language, then (only when it has a grammar, built in or
// registered, and `wanted` accepts it) one parse, within the
// payload's "timeout_ms" when it gives one. Errors: obtain_source's and
// parse_source's texts, unchanged.
Expected<SourceTree> obtain_source_tree(const JsonValue& payload, LanguageFilter wanted = every_language);

}  // namespace marblewick
