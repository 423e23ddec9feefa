// The file status as "scan" takes it from the caller ("known") and reports it
// ("status"): one JSON array [size, mtime_ns, ctime_ns, inode, device].
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "io/file_status.h"
#include "json/json_value.h"

namespace marblewick {

// The status `known` gives for `relative_path`, when it gives one of the
// reported form; any other value tells nothing, and the file is read.
std::optional<FileStatus> known_status_of(const JsonObject& known, std::string_view relative_path);

// The status of the regular file at `path`, by its own entry (a link is not
// followed, so a file swapped for a link never matches); none when the
// system gives none or the entry is no regular file. Reads nothing of the
// file. Safe on worker threads.
std::optional<FileStatus> current_status(const std::string& path);

// The reported form: the array, or null for a file without a status.
JsonValue status_value(const std::optional<FileStatus>& status);

}  // namespace marblewick
