// execute_command: the payload is parsed before the name is looked at, so a
// malformed payload is reported whatever the command.
#include "lib/dispatch.h"

#include "lib/hash_command.h"
#include "lib/json_parse.h"
#include "lib/json_write.h"
#include "lib/scan_command.h"
#include "outline/outline.h"
#include "syntax/syntax_check.h"

namespace marblewick {
namespace {

using CommandHandler = CommandResult (*)(const JsonValue&);

struct CommandEntry {
  std::string_view name;
  CommandHandler handler;
};

// Names are matched by exact bytes: no case folding, trimming or prefixes.
constexpr CommandEntry COMMAND_TABLE[] = {
    {"outline", outline_command},
    {"hash", hash_command},
    {"scan", scan_command},
    {"syntax-check", syntax_check_command},
};

CommandHandler find_handler(std::string_view command) {
  for (const CommandEntry& entry : COMMAND_TABLE) {
    if (entry.name == command) return entry.handler;
  }
  return nullptr;
}

}  // namespace

CommandOutcome execute_command(std::string_view command, std::string_view payload_text) {
  Expected<JsonValue> payload = parse_json_text(payload_text);
  if (!payload) return {true, std::move(payload).error()};

  CommandHandler handler = find_handler(command);
  if (handler == nullptr) {
    std::string message = "unknown command: ";
    message.append(command);
    return {true, std::move(message)};
  }

  CommandResult result = handler(payload.value());
  if (result.is_error()) return {true, std::move(result.error_text())};
  return {false, write_json_text(result.value())};
}

}  // namespace marblewick
