// The "register-grammar" command: a grammar package made usable by every
// analysis command, for the rest of the process.
#pragma once

#include "analysis/grammar_loader.h"
#include "json/command_result.h"

namespace marblewick {

// Payload: "language" and "package" (required strings), "function" (default
// "language"), "extensions" (lower-case, without the dot), "tags" (a query
// file; by default the package's queries/tags.scm where it exists). Answers
// "abi_version", "extensions", "language", "outline". Every failure registers
// nothing. Without a loader (no host to import with) it fails.
CommandResult register_grammar_command(const JsonValue& payload, GrammarLoader* loader);

}  // namespace marblewick
