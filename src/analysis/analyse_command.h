// The "analyse" command: a file's outline and its syntax check from one read
// and one parse, for callers that want both answers.
#pragma once

#include "json/command_result.h"

namespace marblewick {

CommandResult analyse_command(const JsonValue& payload);

}  // namespace marblewick
