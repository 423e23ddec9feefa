// The "syntax-check" command: does a text parse cleanly, and where are its first problems.
#pragma once

#include "json/command_result.h"

namespace marblewick {

CommandResult syntax_check_command(const JsonValue& payload);

}  // namespace marblewick
