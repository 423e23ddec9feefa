// Where an analysis command's text and language name come from: the payload's
// "content", "path" and "language" fields.
#pragma once

#include "base/expected.h"
#include "base/text_buffer.h"
#include "json/json_value.h"
#include "syntax/language.h"

namespace marblewick {

// The text to analyse: a copy of a "content" string, else the file named by
// "path". Error texts: "missing required field: content or path", or the file
// reader's text unchanged.
Expected<TextBuffer> obtain_source(const JsonValue& payload);

// An explicit "language" string wins, even when empty; otherwise the language
// detected from "path"; otherwise "". Never fails.
ResolvedLanguage resolve_language(const JsonValue& payload);

}  // namespace marblewick
