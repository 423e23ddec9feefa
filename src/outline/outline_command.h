// The "outline" command: the declarations at the top two levels of a source file.
#pragma once

#include "json/command_result.h"

namespace marblewick {

CommandResult outline_command(const JsonValue& payload);

}  // namespace marblewick
