// write_json_text: compact JSON with object members in ascending key order.
#pragma once

#include <string>

#include "json/json_value.h"

namespace marblewick {

std::string write_json_text(const JsonValue& value);

// Appends one string literal, quoted and escaped, to `out`.
void write_json_string(std::string& out, std::string_view text);

}  // namespace marblewick
