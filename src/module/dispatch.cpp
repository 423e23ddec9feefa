// execute_command: the payload is parsed before the name is looked at, so a
// malformed payload is reported whatever the command.
#include "module/dispatch.h"

#include <new>

#include "analysis/analyse_command.h"
#include "analysis/languages_command.h"
#include "analysis/register_grammar_command.h"
#include "base/error_texts.h"
#include "inventory/hash_command.h"
#include "inventory/scan_command.h"
#include "json/json_parse.h"
#include "json/json_write.h"
#include "outline/outline_command.h"
#include "syntax/syntax_check_command.h"

namespace marblewick {
namespace {

using CommandHandler = CommandResult (*)(const JsonValue&);

struct CommandEntry {
  std::string_view name;
  CommandHandler handler;
};

// Names are matched by exact bytes: no case folding, trimming or prefixes.
constexpr CommandEntry COMMAND_TABLE[] = {
    {"outline", outline_command},           {"hash", hash_command},       {"scan", scan_command},
    {"syntax-check", syntax_check_command}, {"analyse", analyse_command}, {"languages", languages_command},
};

// The one command that touches the host, through the loader, so the host
// lock stays held for it whatever the payload asks.
constexpr std::string_view REGISTER_GRAMMAR_COMMAND = "register-grammar";

CommandHandler find_handler(std::string_view command) {
  for (const CommandEntry& entry : COMMAND_TABLE) {
    if (entry.name == command) return entry.handler;
  }
  return nullptr;
}

// Only the JSON value true asks for it; any other value, like none, keeps the
// host lock held for the whole call.
bool wants_host_lock_released(const JsonValue& payload) { return payload.flag_field("release_gil"); }

Expected<std::string> answer_command(std::string_view command, std::string_view payload_text,
                                     HostLock* host_lock, GrammarLoader* grammar_loader) {
  Expected<JsonValue> payload = parse_json_text(payload_text);
  if (!payload) return std::move(payload).error();

  if (command == REGISTER_GRAMMAR_COMMAND) {
    CommandResult result = register_grammar_command(payload.value(), grammar_loader);
    if (!result) return std::move(result).error();
    return write_json_text(result.value());
  }

  CommandHandler handler = find_handler(command);
  if (handler == nullptr) {
    std::string message(UNKNOWN_COMMAND_PREFIX);
    message.append(command);
    return ErrorText(ErrorKind::request, std::move(message));
  }

  // From here on nothing touches the host: the handler's work and the
  // writing of its answer can run while other host threads do.
  if (host_lock != nullptr && wants_host_lock_released(payload.value())) host_lock->release();
  CommandResult result = handler(payload.value());
  if (!result) return std::move(result).error();
  return write_json_text(result.value());
}

}  // namespace

Expected<std::string> execute_command(std::string_view command, std::string_view payload_text,
                                      HostLock* host_lock, GrammarLoader* grammar_loader) {
  // Memory the system refuses anywhere in a call (the payload tree, a result,
  // a worker's list) is the command's failure, not a fault of the module:
  // everything the call held is released on the way out, and the process
  // stays usable.
  try {
    return answer_command(command, payload_text, host_lock, grammar_loader);
  } catch (const std::bad_alloc&) {
    return out_of_memory_error();
  }
}

}  // namespace marblewick
