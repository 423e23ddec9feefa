// parse_json_text: the payload parser, with its fixed error texts and positions.
#pragma once

#include <string_view>

#include "base/expected.h"
#include "json/json_value.h"

namespace marblewick {

// Deepest nesting of arrays and objects a payload may have; the next level fails.
inline constexpr int MAX_JSON_DEPTH = 127;

// Parses exactly one JSON value surrounded by optional whitespace. Errors are
// of kind `payload` and read "<description> at line <L> column <C>"; their
// offset is the error point, which lies just after the offending byte, or at
// the end of the text when it ends early.
Expected<JsonValue> parse_json_text(std::string_view text);

}  // namespace marblewick
