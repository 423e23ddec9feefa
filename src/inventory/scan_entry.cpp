// build_scan_entry: one file read, digested, counted and dropped, so a worker
// holds at most one file text at a time whatever the size of the tree.
#include "inventory/scan_entry.h"

#include "inventory/content_digest.h"
#include "inventory/scan_path.h"
#include "io/text_file.h"

namespace marblewick {

std::optional<ScanEntry> build_scan_entry(std::string_view root, std::string_view relative_path) {
  std::string path;
  path.reserve(root.size() + 1 + relative_path.size());
  append_joined_path(path, root, relative_path);

  Expected<TextBuffer> text = read_text_file(path);
  if (!text) return std::nullopt;
  std::string_view bytes = text.value().view();
  return ScanEntry{content_digest(bytes), std::string(relative_path), count_lines(bytes)};
}

}  // namespace marblewick
