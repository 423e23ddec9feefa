// Where an analysis command's text and language name come from: the payload's
// "content", "path" and "language" fields.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/expected.h"
#include "base/text_buffer.h"
#include "json/json_value.h"

namespace marblewick {

// A language name as callers write it and results repeat it: one of the six
// grammar-backed names, "toml", any name a caller gives, or "" for none.
using LanguageId = std::string;

// The text to analyse: a copy of a "content" string, else the file named by
// "path". Error texts: "missing required field: content or path", or the file
// reader's text unchanged.
Expected<TextBuffer> obtain_source(const JsonValue& payload);

// An explicit "language" string wins, even when empty; otherwise the name
// detected from "path"; otherwise "". Never fails.
LanguageId resolve_language(const JsonValue& payload);

// The language named by the text after the last "." of the whole path.
std::optional<LanguageId> detect_language(std::string_view path);

}  // namespace marblewick
