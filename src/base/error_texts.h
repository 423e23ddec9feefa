// The error texts of the contract that more than one place reports or builds
// on, each written once. Callers compare them byte for byte, so they never
// change.
#pragma once

#include <string_view>

#include "base/expected.h"

namespace marblewick {

// Reading a file (every command that reads one reports these unchanged).
inline constexpr std::string_view NUL_IN_FILE_NAME_TEXT = "file name contained an unexpected NUL byte";
inline constexpr std::string_view NOT_A_REGULAR_FILE_TEXT = "not a regular file";
inline constexpr std::string_view INVALID_UTF8_TEXT = "stream did not contain valid UTF-8";
// Memory for a text could not be had; never an empty text handled as the caller's.
inline constexpr std::string_view OUT_OF_MEMORY_TEXT = "out of memory";

// The payload envelope: followed by what is missing ("path", "root", ...) or
// by the command name as given.
inline constexpr std::string_view MISSING_FIELD_PREFIX = "missing required field: ";
inline constexpr std::string_view UNKNOWN_COMMAND_PREFIX = "unknown command: ";

// The fixed texts with their kinds, so that a text is never reported under
// another kind than its own.
inline ErrorText nul_in_file_name_error() { return ErrorText(ErrorKind::file_system, NUL_IN_FILE_NAME_TEXT); }
inline ErrorText not_a_regular_file_error() {
  return ErrorText(ErrorKind::not_regular_file, NOT_A_REGULAR_FILE_TEXT);
}
inline ErrorText invalid_utf8_error() { return ErrorText(ErrorKind::invalid_utf8, INVALID_UTF8_TEXT); }
inline ErrorText out_of_memory_error() { return ErrorText(ErrorKind::out_of_memory, OUT_OF_MEMORY_TEXT); }

}  // namespace marblewick
