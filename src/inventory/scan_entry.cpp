// build_scan_entry: one file read, digested, counted and dropped, unless its
// status shows the caller already knows it. The file is taken in pieces, so a
// worker holds about 1 MiB whatever the sizes of the files it meets.
#include "inventory/scan_entry.h"

#include "inventory/file_digest.h"
#include "inventory/scan_path.h"
#include "inventory/scan_status.h"

namespace marblewick {

Expected<ScanEntry> build_scan_entry(std::string_view root, std::string_view relative_path,
                                     const std::optional<FileStatus>& known) {
  std::string path;
  path.reserve(root.size() + 1 + relative_path.size());
  append_joined_path(path, root, relative_path);

  if (known) {
    if (current_status(path) == known) {
      return ScanEntry{std::string(), std::string(relative_path), 0, false, std::nullopt};
    }
  }
  Expected<TextFileSummary> summary = summarize_text_file(path);
  if (!summary) return std::move(summary).error();
  return ScanEntry{std::move(summary.value().digest), std::string(relative_path), summary.value().total_lines,
                   true, summary.value().status};
}

}  // namespace marblewick
