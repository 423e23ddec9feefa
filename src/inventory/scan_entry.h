// ScanEntry: what "scan" reports of one kept file, and how a worker builds it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/expected.h"
#include "io/file_status.h"

namespace marblewick {

struct ScanEntry {
  std::string file_hash;
  std::string path;
  std::uint64_t total_lines;
  // False for a file whose status equalled the one the caller knew: it was
  // not opened, and nothing else of it is reported.
  bool read;
  // As the file was opened; none when the system gave none.
  std::optional<FileStatus> status;
};

// Reads root + "/" + relative_path (the relative text alone when it starts
// with "/") and gives its digest and line count, or summarize_text_file's
// error: the scan decides by its kind whether the file is left out or the
// whole scan fails. When `known` is given and the file's status equals it,
// the file is not read. Safe on worker threads.
Expected<ScanEntry> build_scan_entry(std::string_view root, std::string_view relative_path,
                                     const std::optional<FileStatus>& known);

}  // namespace marblewick
