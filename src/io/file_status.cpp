// file_status_of.
#include "io/file_status.h"

#include <sys/stat.h>

namespace marblewick {
namespace {

constexpr std::int64_t NANOSECONDS_PER_SECOND = 1'000'000'000;

std::optional<std::int64_t> nanoseconds_of(const struct timespec& time) {
  std::int64_t ns;
  if (__builtin_mul_overflow(static_cast<std::int64_t>(time.tv_sec), NANOSECONDS_PER_SECOND, &ns) ||
      __builtin_add_overflow(ns, static_cast<std::int64_t>(time.tv_nsec), &ns)) {
    return std::nullopt;
  }
  return ns;
}

}  // namespace

std::optional<FileStatus> file_status_of(const struct stat& status) {
  std::optional<std::int64_t> mtime = nanoseconds_of(status.st_mtim);
  std::optional<std::int64_t> ctime = nanoseconds_of(status.st_ctim);
  if (!mtime || !ctime || status.st_size < 0) return std::nullopt;
  return FileStatus{static_cast<std::uint64_t>(status.st_size), *mtime, *ctime,
                    static_cast<std::uint64_t>(status.st_ino), static_cast<std::uint64_t>(status.st_dev)};
}

}  // namespace marblewick
