// The "languages" command: every language the analysis commands know.
#pragma once

#include "json/command_result.h"

namespace marblewick {

// Answers "languages": the built-in ones in their table's order, then those
// the built-in table detects without a grammar ("toml") unless registered,
// then the registered ones in the order they were registered. Each has
// "name", "extensions", "grammar", "outline" and "registered"; a registered
// one also "package", "function" and "abi_version". A registered "toml" lists
// the built-in "toml" extension before its own.
CommandResult languages_command(const JsonValue& payload);

}  // namespace marblewick
