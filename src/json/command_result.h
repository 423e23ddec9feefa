// CommandResult: what a command handler returns, either its success object or
// its error text, never both and never a partial result.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "base/error_texts.h"
#include "base/expected.h"
#include "json/json_value.h"

namespace marblewick {

using CommandResult = Expected<JsonValue>;

// A handler's success object: its own members beside "ok": true.
inline JsonValue success_object(JsonObject members) {
  members.insert_or_assign("ok", JsonValue(true));
  return JsonValue(std::move(members));
}

// The required-field error every handler reports, e.g. "missing required field: path".
inline ErrorText missing_field_error(std::string_view what) {
  std::string message(MISSING_FIELD_PREFIX);
  message.append(what);
  return ErrorText(ErrorKind::request, std::move(message));
}

}  // namespace marblewick
