// The "scan" command: a filtered, sorted inventory of a directory tree with the
// digest and line count of every kept file, computed on the worker pool.
#pragma once

#include "lib/command_result.h"

namespace marblewick {

CommandResult scan_command(const JsonValue& payload);

}  // namespace marblewick
