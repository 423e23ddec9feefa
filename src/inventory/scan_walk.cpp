// The scan walker: a depth-first walk over directory descriptors. Children are
// opened relative to their parent's descriptor with O_NOFOLLOW, so a directory
// swapped for a link during the walk is never entered, and a skipped directory
// is never opened at all: its size costs the walk nothing.
#include "inventory/scan_walk.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "base/utf8.h"
#include "inventory/scan_path.h"

namespace marblewick {
namespace {

struct DirectoryCloser {
  void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};
using DirectoryHandle = std::unique_ptr<DIR, DirectoryCloser>;

EntryType type_of_mode(mode_t mode) {
  if (S_ISDIR(mode)) return EntryType::directory;
  if (S_ISREG(mode)) return EntryType::regular_file;
  if (S_ISLNK(mode)) return EntryType::symbolic_link;
  return EntryType::other;
}

// The entry's own type from its listing, asking the file system (without
// following links) only when the listing does not say. A failed query is a
// walk error: the entry is passed over.
bool own_type(int directory_fd, const dirent* found, EntryType& type) {
  switch (found->d_type) {
    case DT_DIR:
      type = EntryType::directory;
      return true;
    case DT_REG:
      type = EntryType::regular_file;
      return true;
    case DT_LNK:
      type = EntryType::symbolic_link;
      return true;
    case DT_UNKNOWN:
      break;
    default:
      type = EntryType::other;
      return true;
  }
  struct stat status{};
  if (::fstatat(directory_fd, found->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
  type = type_of_mode(status.st_mode);
  return true;
}

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The name of the root entry: its last component when that is a normal name
// ("proj/." and "proj//" name proj), else the whole text (".", "..", "/").
std::string_view root_entry_name(std::string_view root) {
  std::string_view last;
  std::size_t pos = 0;
  while (pos <= root.size()) {
    std::size_t slash = root.find('/', pos);
    if (slash == std::string_view::npos) slash = root.size();
    std::string_view part = root.substr(pos, slash - pos);
    if (!part.empty() && part != ".") last = part;
    pos = slash + 1;
  }
  if (last.empty() || last == "..") return root;
  return last;
}

class CandidateWalk {
 public:
  CandidateWalk(std::string_view root, const std::vector<std::string>& extensions,
                std::vector<ScanCandidate>& candidates)
      : root_(root), extensions_(extensions), candidates_(candidates) {}

  void run();

 private:
  struct HeldEntry {
    std::string name;
    EntryType type;
  };

  // One directory being listed. Its listing comes from `handle` while it is
  // open, and from `held` once it was read into memory to free the handle.
  struct Listing {
    DirectoryHandle handle;
    std::vector<HeldEntry> held;
    std::size_t next_held = 0;
    // Length of this directory's path below the root in `relative_`.
    std::size_t relative_length = 0;
  };

  // The next entry of the innermost listing; false at its end (a read error
  // ends a listing as well). The name stays valid until the next call.
  bool next_entry(Listing& listing, std::string_view& name, EntryType& type);
  void enter_directory(std::string_view name);
  void hold_oldest_open_listing();
  void add_candidate(std::string_view name);

  std::string_view root_;
  const std::vector<std::string>& extensions_;
  std::vector<ScanCandidate>& candidates_;
  std::vector<Listing> stack_;
  std::size_t open_handles_ = 0;
  // Raw bytes of the innermost directory's path below the root.
  std::string relative_;
  std::string scratch_;
};

bool CandidateWalk::next_entry(Listing& listing, std::string_view& name, EntryType& type) {
  if (!listing.handle) {
    if (listing.next_held == listing.held.size()) return false;
    HeldEntry& entry = listing.held[listing.next_held++];
    name = entry.name;
    type = entry.type;
    return true;
  }
  DIR* directory = listing.handle.get();
  for (;;) {
    const dirent* found = ::readdir(directory);
    if (found == nullptr) return false;
    if (is_dot_or_dot_dot(found->d_name)) continue;
    if (!own_type(::dirfd(directory), found, type)) continue;
    name = found->d_name;
    return true;
  }
}

void CandidateWalk::hold_oldest_open_listing() {
  for (Listing& listing : stack_) {
    if (!listing.handle) continue;
    std::string_view name;
    EntryType type;
    while (next_entry(listing, name, type)) listing.held.push_back({std::string(name), type});
    listing.handle.reset();
    --open_handles_;
    return;
  }
}

void CandidateWalk::enter_directory(std::string_view name) {
  const std::size_t parent_length = relative_.size();
  if (!relative_.empty()) relative_.push_back('/');
  relative_.append(name);
  if (open_handles_ == MAX_OPEN_DIRECTORIES) hold_oldest_open_listing();

  // The name is read from `relative_` (NUL-terminated) because the listing it
  // came from may just have been replaced by its copy in memory.
  const char* child_name = relative_.c_str() + relative_.size() - name.size();
  constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  const Listing& parent = stack_.back();
  int fd;
  do {
    if (parent.handle) {
      fd = ::openat(::dirfd(parent.handle.get()), child_name, flags);
    } else {
      // The parent's listing is held in memory: reach the child from the root.
      scratch_.clear();
      append_joined_path(scratch_, root_, relative_);
      fd = ::open(scratch_.c_str(), flags);
    }
  } while (fd < 0 && errno == EINTR);

  DIR* directory = fd < 0 ? nullptr : ::fdopendir(fd);
  if (directory == nullptr) {
    // Unreadable: the directory is reported, its contents are missing.
    if (fd >= 0) ::close(fd);
    relative_.resize(parent_length);
    return;
  }
  Listing listing;
  listing.handle.reset(directory);
  listing.relative_length = relative_.size();
  stack_.push_back(std::move(listing));
  ++open_handles_;
}

void CandidateWalk::add_candidate(std::string_view name) {
  scratch_.clear();
  append_joined_path(scratch_, relative_, name);
  if (is_valid_utf8(scratch_)) {
    candidates_.push_back({scratch_, true});
  } else {
    candidates_.push_back({utf8_lossy(scratch_), false});
  }
}

void CandidateWalk::run() {
  // A NUL cuts the text short for the system; such a root names nothing.
  if (root_.find('\0') != std::string_view::npos) return;
  const std::string root_path(root_);
  struct stat status{};
  if (::stat(root_path.c_str(), &status) != 0) return;

  const WalkEntry root_entry{root_entry_name(root_), 0, type_of_mode(status.st_mode)};
  if (is_skipped_directory(root_entry)) return;
  if (root_entry.type != EntryType::directory) {
    // A root naming a selected file gives the empty path text.
    if (has_selected_extension(root_entry, extensions_)) candidates_.push_back({"", true});
    return;
  }

  DIR* root_directory = ::opendir(root_path.c_str());
  if (root_directory == nullptr) return;
  Listing root_listing;
  root_listing.handle.reset(root_directory);
  stack_.push_back(std::move(root_listing));
  open_handles_ = 1;

  std::string_view name;
  EntryType type;
  while (!stack_.empty()) {
    if (!next_entry(stack_.back(), name, type)) {
      if (stack_.back().handle) --open_handles_;
      stack_.pop_back();
      if (!stack_.empty()) relative_.resize(stack_.back().relative_length);
      continue;
    }
    const WalkEntry entry{name, stack_.size(), type};
    if (is_skipped_directory(entry)) continue;
    if (type == EntryType::directory) {
      enter_directory(name);
    } else if (has_selected_extension(entry, extensions_)) {
      add_candidate(name);
    }
  }
}

}  // namespace

bool is_skipped_directory(const WalkEntry& entry) {
  if (entry.type != EntryType::directory) return false;
  return std::find(SKIPPED_DIRECTORY_NAMES.begin(), SKIPPED_DIRECTORY_NAMES.end(), entry.name) !=
         SKIPPED_DIRECTORY_NAMES.end();
}

bool has_selected_extension(const WalkEntry& entry, const std::vector<std::string>& extensions) {
  if (entry.type != EntryType::regular_file) return false;
  std::size_t dot = entry.name.rfind('.');
  // No dot, or only the leading dot of a hidden name: no extension.
  if (dot == std::string_view::npos || dot == 0) return false;
  std::string_view extension = entry.name.substr(dot + 1);
  if (!is_valid_utf8(extension)) return false;
  return std::find(extensions.begin(), extensions.end(), extension) != extensions.end();
}

std::vector<ScanCandidate> collect_candidate_paths(std::string_view root,
                                                   const std::vector<std::string>& extensions) {
  std::vector<ScanCandidate> candidates;
  CandidateWalk(root, extensions, candidates).run();
  return candidates;
}

}  // namespace marblewick
