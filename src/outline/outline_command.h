// The "outline" command: the declarations at the top two levels of a source file.
#pragma once

#include "json/command_result.h"
#include "syntax/source_tree.h"

namespace marblewick {

CommandResult outline_command(const JsonValue& payload);

// The outline's success object for an obtained subject: its symbols, or the
// "no_outline" answer when the subject was not parsed or has no outline
// rules. A registered language's tags query can fail it (too many matches in
// progress at once).
CommandResult outline_result(const SourceTree& subject);

// Whether a language with a grammar has an outline: rules of its own, or a
// tags query.
bool has_outline(const ResolvedLanguage& language);

}  // namespace marblewick
