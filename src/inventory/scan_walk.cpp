// The scan walker: depth-first walks over directory descriptors, on every
// worker of the pool at once. Children are opened relative to their parent's
// descriptor with O_NOFOLLOW, so a directory swapped for a link during the
// walk is never entered, and a skipped directory is never opened at all: its
// size costs the walk nothing. A worker hands a directory it has just opened
// to a small shared queue while there is room, and walks it itself when there
// is none; a worker that has finished takes the next one from the queue. The
// open descriptor travels with the directory, so no path is looked up again.
#include "inventory/scan_walk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

#include "base/utf8.h"
#include "inventory/scan_path.h"
#include "inventory/worker_pool.h"

namespace marblewick {
namespace {

// Bytes of listing fetched per call, as the C library's own listings take.
constexpr std::size_t LISTING_BUFFER_BYTES = 32 * 1024;

// An open directory, listed with getdents64 straight into a buffer of its
// own: fdopendir and readdir would cost a status query and two calls on the
// descriptor's flags more for every directory, three of the seven calls a
// directory costs the walk.
// The buffer is taken at the first read, so a directory waiting in the queue
// holds only its descriptor.
class DirectoryHandle {
 public:
  DirectoryHandle() = default;
  explicit DirectoryHandle(int fd) noexcept : fd_(fd) {}
  DirectoryHandle(DirectoryHandle&& other) noexcept { *this = std::move(other); }
  DirectoryHandle& operator=(DirectoryHandle&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
      buffer_ = std::move(other.buffer_);
      next_ = std::exchange(other.next_, 0);
      end_ = std::exchange(other.end_, 0);
      finished_ = std::exchange(other.finished_, false);
    }
    return *this;
  }
  ~DirectoryHandle() { reset(); }

  explicit operator bool() const noexcept { return fd_ >= 0; }
  int fd() const noexcept { return fd_; }

  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.reset();
    next_ = end_ = 0;
    finished_ = false;
  }

  // The next entry, "." and ".." included: false at the end of the listing
  // or on a read error. `name` (NUL-terminated) stays valid until the next call.
  bool next(const char*& name, unsigned char& type) {
    for (;;) {
      if (next_ < end_) {
        // The system's record: 8 bytes of inode, 8 of offset, 2 of length,
        // 1 of type, then the name.
        const char* record = buffer_.get() + next_;
        unsigned short length;
        std::memcpy(&length, record + 16, sizeof length);
        if (length <= 19 || length > end_ - next_) {
          // No record the system writes: the listing ends here.
          finished_ = true;
          next_ = end_ = 0;
          buffer_.reset();
          return false;
        }
        type = static_cast<unsigned char>(record[18]);
        name = record + 19;
        next_ += length;
        return true;
      }
      if (finished_) return false;
      if (!buffer_) buffer_.reset(new char[LISTING_BUFFER_BYTES]);
      long got;
      do {
        got = ::syscall(SYS_getdents64, fd_, buffer_.get(), LISTING_BUFFER_BYTES);
      } while (got < 0 && errno == EINTR);
      if (got <= 0) {
        finished_ = true;
        buffer_.reset();
        return false;
      }
      next_ = 0;
      end_ = static_cast<std::size_t>(got);
    }
  }

 private:
  int fd_ = -1;
  std::unique_ptr<char[]> buffer_;
  std::size_t next_ = 0;
  std::size_t end_ = 0;
  bool finished_ = false;
};

EntryType type_of_mode(mode_t mode) {
  if (S_ISDIR(mode)) return EntryType::directory;
  if (S_ISREG(mode)) return EntryType::regular_file;
  if (S_ISLNK(mode)) return EntryType::symbolic_link;
  return EntryType::other;
}

// The entry's own type from its listing, asking the file system (without
// following links) only when the listing does not say. A failed query is a
// walk error: the entry is passed over.
bool own_type(int directory_fd, const char* name, unsigned char listed_type, EntryType& type) {
  switch (listed_type) {
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
  if (::fstatat(directory_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
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

// A directory opened by one worker and waiting for another to list it.
struct PendingDirectory {
  DirectoryHandle handle;
  // Raw bytes of its path below the root.
  std::string relative;
  std::size_t depth = 0;
};

// What the workers of one walk share: the queue of opened directories, the
// descriptor budget, and the candidates each worker found.
class SharedWalk {
 public:
  SharedWalk(std::string_view root, const std::vector<std::string>& extensions)
      : root(root), extensions(extensions) {
    // Reserved once, so handing a directory over never allocates.
    queue_.reserve(MAX_QUEUED_DIRECTORIES);
  }

  const std::string_view root;
  const std::vector<std::string>& extensions;

  // A descriptor of the shared budget, if one is left.
  bool take_descriptor() noexcept {
    std::size_t held = open_descriptors_.load(std::memory_order_relaxed);
    while (held < MAX_OPEN_DIRECTORIES) {
      if (open_descriptors_.compare_exchange_weak(held, held + 1, std::memory_order_relaxed)) return true;
    }
    return false;
  }
  void give_back_descriptor() noexcept { open_descriptors_.fetch_sub(1, std::memory_order_relaxed); }

  // A cheap first look, without the lock; `offer` decides.
  bool queue_has_room() const noexcept {
    return queued_.load(std::memory_order_relaxed) < MAX_QUEUED_DIRECTORIES;
  }

  // Queues `directory` (whose descriptor counts in the budget) when there is
  // room; it is left as it was otherwise.
  bool offer(PendingDirectory& directory) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopped_ || queue_.size() == MAX_QUEUED_DIRECTORIES) return false;
      queue_.push_back(std::move(directory));
      queued_.store(queue_.size(), std::memory_order_relaxed);
    }
    changed_.notify_one();
    return true;
  }

  // Waits for a queued directory and takes it: false once the walk is over
  // (nothing queued and no worker listing, so nothing more can come) or was
  // stopped. A true answer must be followed by `listed`.
  bool take(PendingDirectory& directory) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stopped_ || !queue_.empty() || listing_ == 0; });
    if (stopped_ || queue_.empty()) return false;
    directory = std::move(queue_.back());
    queue_.pop_back();
    queued_.store(queue_.size(), std::memory_order_relaxed);
    ++listing_;
    return true;
  }

  void listed() {
    bool over;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      over = --listing_ == 0 && queue_.empty();
    }
    if (over) changed_.notify_all();
  }

  // After a failure on some worker: the others stop at their next entry.
  void stop() {
    stopping_.store(true, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }
  bool stopping() const noexcept { return stopping_.load(std::memory_order_relaxed); }

  void add_candidates(std::vector<ScanCandidate>&& found) {
    std::lock_guard<std::mutex> lock(mutex_);
    found_.push_back(std::move(found));
  }

  std::vector<ScanCandidate> all_candidates() {
    if (found_.size() == 1) return std::move(found_.front());
    std::size_t total = 0;
    for (const std::vector<ScanCandidate>& part : found_) total += part.size();
    std::vector<ScanCandidate> all;
    all.reserve(total);
    for (std::vector<ScanCandidate>& part : found_) {
      std::move(part.begin(), part.end(), std::back_inserter(all));
      part = {};
    }
    return all;
  }

 private:
  std::atomic<std::size_t> open_descriptors_{0};
  std::atomic<std::size_t> queued_{0};
  std::atomic<bool> stopping_{false};

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<PendingDirectory> queue_;
  // Workers listing a directory they took from the queue.
  std::size_t listing_ = 0;
  bool stopped_ = false;
  std::vector<std::vector<ScanCandidate>> found_;
};

// One worker's part of the walk: the directories it takes from the queue,
// each walked depth first, and whatever below them it does not hand over.
class CandidateWalk {
 public:
  CandidateWalk(SharedWalk& shared, std::vector<ScanCandidate>& candidates)
      : shared_(shared), candidates_(candidates) {}

  void walk(PendingDirectory directory);

 private:
  struct HeldEntry {
    std::string name;
    EntryType type;
  };

  // Whose descriptor an open listing holds: one of the shared budget, or the
  // one this worker may hold beyond it.
  enum class Slot { shared, own };

  // One directory being listed. Its listing comes from `handle` while it is
  // open, and from `held` once it was read into memory to free the handle.
  struct Listing {
    DirectoryHandle handle;
    Slot slot = Slot::shared;
    std::vector<HeldEntry> held;
    std::size_t next_held = 0;
    // Length of this directory's path below the root in `relative_`.
    std::size_t relative_length = 0;
  };

  // The next entry of the innermost listing; false at its end (a read error
  // ends a listing as well). The name stays valid until the next call.
  bool next_entry(Listing& listing, std::string_view& name, EntryType& type);
  void enter_directory(std::string_view name);
  Slot hold_oldest_open_listing();
  void release(Slot slot) noexcept;
  void close_listing(Listing& listing) noexcept;
  void add_candidate(std::string_view name);

  SharedWalk& shared_;
  std::vector<ScanCandidate>& candidates_;
  std::vector<Listing> stack_;
  std::size_t base_depth_ = 0;
  bool own_slot_used_ = false;
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
  const char* found;
  unsigned char listed_type;
  while (listing.handle.next(found, listed_type)) {
    if (is_dot_or_dot_dot(found)) continue;
    if (!own_type(listing.handle.fd(), found, listed_type, type)) continue;
    name = found;
    return true;
  }
  return false;
}

void CandidateWalk::release(Slot slot) noexcept {
  if (slot == Slot::shared) {
    shared_.give_back_descriptor();
  } else {
    own_slot_used_ = false;
  }
}

void CandidateWalk::close_listing(Listing& listing) noexcept {
  if (!listing.handle) return;
  listing.handle.reset();
  release(listing.slot);
}

// Reads the oldest open listing into memory and closes it; its descriptor's
// slot passes to the caller. There always is one: the caller only asks when
// this worker holds its own descriptor beyond the budget.
CandidateWalk::Slot CandidateWalk::hold_oldest_open_listing() {
  for (Listing& listing : stack_) {
    if (!listing.handle) continue;
    std::string_view name;
    EntryType type;
    while (next_entry(listing, name, type)) listing.held.push_back({std::string(name), type});
    listing.handle.reset();
    return listing.slot;
  }
  return Slot::own;
}

void CandidateWalk::enter_directory(std::string_view name) {
  const std::size_t parent_length = relative_.size();
  if (!relative_.empty()) relative_.push_back('/');
  relative_.append(name);
  // The name is read from `relative_` (NUL-terminated) because the listing it
  // came from may be replaced by its copy in memory here.
  const char* child_name = relative_.c_str() + relative_.size() - name.size();
  Slot slot = Slot::shared;
  if (!shared_.take_descriptor()) {
    if (!own_slot_used_) {
      slot = Slot::own;
      own_slot_used_ = true;
    } else {
      slot = hold_oldest_open_listing();
    }
  }

  constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  const Listing& parent = stack_.back();
  int fd;
  do {
    if (parent.handle) {
      fd = ::openat(parent.handle.fd(), child_name, flags);
    } else {
      // The parent's listing is held in memory: reach the child from the root.
      scratch_.clear();
      append_joined_path(scratch_, shared_.root, relative_);
      fd = ::open(scratch_.c_str(), flags);
    }
  } while (fd < 0 && errno == EINTR);

  if (fd < 0) {
    // Unreadable: the directory is reported, its contents are missing.
    release(slot);
    relative_.resize(parent_length);
    return;
  }
  Listing listing;
  listing.handle = DirectoryHandle(fd);
  listing.slot = slot;

  // Only a descriptor of the budget may wait in the queue: this worker's own
  // one is what lets it go on whatever the others hold.
  if (slot == Slot::shared && shared_.queue_has_room()) {
    PendingDirectory pending{std::move(listing.handle), relative_, base_depth_ + stack_.size()};
    bool handed_over = shared_.offer(pending);
    listing.handle = std::move(pending.handle);
    if (handed_over) {
      relative_.resize(parent_length);
      return;
    }
  }
  listing.relative_length = relative_.size();
  stack_.push_back(std::move(listing));
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

void CandidateWalk::walk(PendingDirectory directory) {
  relative_ = std::move(directory.relative);
  base_depth_ = directory.depth;
  Listing first;
  first.handle = std::move(directory.handle);
  first.relative_length = relative_.size();
  stack_.push_back(std::move(first));

  std::string_view name;
  EntryType type;
  while (!stack_.empty()) {
    if (shared_.stopping()) break;
    if (!next_entry(stack_.back(), name, type)) {
      close_listing(stack_.back());
      stack_.pop_back();
      if (!stack_.empty()) relative_.resize(stack_.back().relative_length);
      continue;
    }
    const WalkEntry entry{name, base_depth_ + stack_.size(), type};
    if (is_skipped_directory(entry)) continue;
    if (type == EntryType::directory) {
      enter_directory(name);
    } else if (has_selected_extension(entry, shared_.extensions)) {
      add_candidate(name);
    }
  }
  for (Listing& listing : stack_) close_listing(listing);
  stack_.clear();
}

// The job every worker runs: directories from the queue until there are none.
void walk_on_this_worker(SharedWalk& shared) {
  try {
    std::vector<ScanCandidate> found;
    CandidateWalk walk(shared, found);
    PendingDirectory directory;
    while (shared.take(directory)) {
      walk.walk(std::move(directory));
      shared.listed();
    }
    shared.add_candidates(std::move(found));
  } catch (...) {
    // Memory refused: the others must not wait for what this worker held.
    shared.stop();
    throw;
  }
}

std::vector<ScanCandidate> walk_tree(std::string_view root, const std::vector<std::string>& extensions) {
  // A NUL cuts the text short for the system; such a root names nothing.
  if (root.find('\0') != std::string_view::npos) return {};
  const std::string root_path(root);
  struct stat status{};
  if (::stat(root_path.c_str(), &status) != 0) return {};

  const WalkEntry root_entry{root_entry_name(root), 0, type_of_mode(status.st_mode)};
  if (is_skipped_directory(root_entry)) return {};
  if (root_entry.type != EntryType::directory) {
    // A root naming a selected file gives the empty path text.
    if (has_selected_extension(root_entry, extensions)) return {ScanCandidate{"", true}};
    return {};
  }

  // Followed if it is a link; not blocking should a FIFO take its place.
  int root_fd;
  do {
    root_fd = ::open(root_path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  } while (root_fd < 0 && errno == EINTR);
  if (root_fd < 0) return {};
  SharedWalk shared(root, extensions);
  PendingDirectory top;
  top.handle = DirectoryHandle(root_fd);
  shared.take_descriptor();
  shared.offer(top);
  WorkerPool::shared().run_on_every_worker([&] { walk_on_this_worker(shared); });
  return shared.all_candidates();
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
  return walk_tree(root, extensions);
}

}  // namespace marblewick
