// The "outline" command: the declarations at the top two levels of a source file.
#pragma once

#include "json/command_result.h"
#include "syntax/source_tree.h"

namespace marblewick {

CommandResult outline_command(const JsonValue& payload);

// The outline's success object for an obtained subject: its symbols, or the
// "no_outline" answer when the subject was not parsed or has no outline rules.
JsonValue outline_result(const SourceTree& subject);

}  // namespace marblewick
