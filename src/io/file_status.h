// FileStatus: what the file system says of a file that changes whenever its
// content may have changed, so that a caller who read the file once can tell
// an unchanged file without reading it again.
#pragma once

#include <cstdint>
#include <optional>

struct stat;

namespace marblewick {

struct FileStatus {
  std::uint64_t size;
  // Modification and status-change times, in nanoseconds since 1970 (before
  // 1970: negative). A rewrite moves the first, unless it is set back by
  // hand; setting it back moves the second, which no caller can set.
  std::int64_t mtime_ns;
  std::int64_t ctime_ns;
  // A file replaced by another (a rename over it) has another inode.
  std::uint64_t inode;
  std::uint64_t device;

  bool operator==(const FileStatus&) const = default;
};

// The status in `status`, or none when a time lies outside what 64 bits of
// nanoseconds hold (before 1677 or after 2262): such a file has no status to
// compare, and is read.
std::optional<FileStatus> file_status_of(const struct stat& status);

}  // namespace marblewick
