// The "hash" command: the content digest of one text file.
#pragma once

#include "json/command_result.h"

namespace marblewick {

CommandResult hash_command(const JsonValue& payload);

}  // namespace marblewick
