// CommandResult: what a command handler returns, either its success object or
// its error text, never both and never a partial result.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "lib/json_value.h"

namespace marblewick {

class CommandResult {
 public:
  static CommandResult success(JsonObject members) {
    members.insert_or_assign("ok", JsonValue(true));
    return CommandResult(JsonValue(std::move(members)));
  }
  static CommandResult error(std::string message) { return CommandResult(std::move(message)); }

  bool is_error() const noexcept { return state_.index() == 1; }
  JsonValue& value() { return std::get<0>(state_); }
  std::string& error_text() { return std::get<1>(state_); }

 private:
  explicit CommandResult(JsonValue value) : state_(std::in_place_index<0>, std::move(value)) {}
  explicit CommandResult(std::string message)
      : state_(std::in_place_index<1>, std::move(message)) {}

  std::variant<JsonValue, std::string> state_;
};

// The required-field error every handler reports, e.g. "missing required field: path".
inline CommandResult missing_field_error(const char* what) {
  return CommandResult::error(std::string("missing required field: ") + what);
}

}  // namespace marblewick
