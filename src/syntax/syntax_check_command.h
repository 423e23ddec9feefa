// The "syntax-check" command: does a text parse cleanly, and where are its first problems.
#pragma once

#include "json/command_result.h"
#include "syntax/source_tree.h"

namespace marblewick {

CommandResult syntax_check_command(const JsonValue& payload);

// The check's success object for an obtained subject: its problems, or the
// "no_parser" answer when the subject was not parsed.
JsonValue syntax_check_result(const SourceTree& subject);

}  // namespace marblewick
