// The "known" and "status" members of "scan". Times are the one signed member:
// the payload parser gives a non-negative integer as unsigned, a negative one
// as signed, and both are accepted where the value fits.
#include "inventory/scan_status.h"

#include <cstdint>
#include <limits>
#include <sys/stat.h>
#include <variant>

namespace marblewick {
namespace {

constexpr std::size_t STATUS_MEMBERS = 5;

std::optional<std::uint64_t> unsigned_of(const JsonValue& value) {
  if (const auto* n = std::get_if<std::uint64_t>(&value.storage())) return *n;
  return std::nullopt;
}

std::optional<std::int64_t> signed_of(const JsonValue& value) {
  if (const auto* n = std::get_if<std::int64_t>(&value.storage())) return *n;
  if (const auto* n = std::get_if<std::uint64_t>(&value.storage())) {
    if (*n <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(*n);
    }
  }
  return std::nullopt;
}

JsonValue time_value(std::int64_t ns) {
  // Written the way the parser reads it back, so that a reported status
  // given back as known compares equal.
  if (ns >= 0) return JsonValue(static_cast<std::uint64_t>(ns));
  return JsonValue(ns);
}

}  // namespace

std::optional<FileStatus> known_status_of(const JsonObject& known, std::string_view relative_path) {
  auto found = known.find(relative_path);
  if (found == known.end()) return std::nullopt;
  const JsonArray* members = found->second.as_array();
  if (members == nullptr || members->size() != STATUS_MEMBERS) return std::nullopt;
  std::optional<std::uint64_t> size = unsigned_of((*members)[0]);
  std::optional<std::int64_t> mtime = signed_of((*members)[1]);
  std::optional<std::int64_t> ctime = signed_of((*members)[2]);
  std::optional<std::uint64_t> inode = unsigned_of((*members)[3]);
  std::optional<std::uint64_t> device = unsigned_of((*members)[4]);
  if (!size || !mtime || !ctime || !inode || !device) return std::nullopt;
  return FileStatus{*size, *mtime, *ctime, *inode, *device};
}

std::optional<FileStatus> current_status(const std::string& path) {
  struct stat status{};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return file_status_of(status);
}

JsonValue status_value(const std::optional<FileStatus>& status) {
  if (!status) return JsonValue(nullptr);
  JsonArray members;
  members.reserve(STATUS_MEMBERS);
  members.emplace_back(status->size);
  members.emplace_back(time_value(status->mtime_ns));
  members.emplace_back(time_value(status->ctime_ns));
  members.emplace_back(status->inode);
  members.emplace_back(status->device);
  return JsonValue(std::move(members));
}

}  // namespace marblewick
