// The "scan" command: a filtered, sorted inventory of a directory tree with the
// digest and line count of every kept file, computed on the worker pool.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "json/command_result.h"

namespace marblewick {

// Files read and reported when the payload gives no usable "max_files".
inline constexpr std::uint64_t DEFAULT_MAX_FILES = 256;

// Extensions selected when the payload gives no "extensions" array.
inline constexpr std::array<std::string_view, 10> DEFAULT_EXTENSIONS = {"py", "rs", "ts",   "tsx",  "js",
                                                                        "go", "md", "toml", "yaml", "yml"};

CommandResult scan_command(const JsonValue& payload);

}  // namespace marblewick
