// ScanEntry: what "scan" reports of one kept file, and how a worker builds it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace marblewick {

struct ScanEntry {
  std::string file_hash;
  std::string path;
  std::uint64_t total_lines;
};

// Reads root + "/" + relative_path (the relative text alone when it starts
// with "/") and gives its digest and line count, or nothing when the file
// cannot be read as UTF-8 text; the reason is dropped on purpose, since a scan
// only ever gets shorter because of the file system. Memory refused throws
// std::bad_alloc, which fails the whole scan. Safe on worker threads.
std::optional<ScanEntry> build_scan_entry(std::string_view root, std::string_view relative_path);

}  // namespace marblewick
