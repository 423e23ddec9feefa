// ScanEntry: what "scan" reports of one kept file, and how a worker builds it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/expected.h"

namespace marblewick {

struct ScanEntry {
  std::string file_hash;
  std::string path;
  std::uint64_t total_lines;
};

// Reads root + "/" + relative_path (the relative text alone when it starts
// with "/") and gives its digest and line count, or summarize_text_file's
// error: the scan decides by its kind whether the file is left out or the
// whole scan fails. Safe on worker threads.
Expected<ScanEntry> build_scan_entry(std::string_view root, std::string_view relative_path);

}  // namespace marblewick
