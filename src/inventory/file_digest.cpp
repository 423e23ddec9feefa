// digest_text_file. SHA-256 is the slowest step of hashing a large file, so a
// large file is read in pieces through a small ring of buffers: this thread
// reads each piece and checks its UTF-8 while a helper thread hashes the
// pieces before it. The ring stays in cache, so the file's bytes cross memory
// once and the whole text is never held. The digest counts only when the whole
// text proved valid, and errors are those of read_text_file, with the same
// precedence (a read error found later wins over invalid UTF-8 found earlier).
// Line endings are normalised in place by the reading thread, so the hashing
// thread does nothing but hash. A small file is read whole and hashed after,
// which costs less than a thread.
#include "inventory/file_digest.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <unistd.h>

#include "base/error_texts.h"
#include "base/utf8.h"
#include "inventory/content_digest.h"
#include "inventory/sha256.h"
#include "io/text_file.h"

namespace marblewick {
namespace {

constexpr std::size_t STREAM_THRESHOLD = 4 * 1024 * 1024;
constexpr std::size_t PIECE_SIZE = 1024 * 1024;
constexpr std::size_t PIECE_COUNT = 4;
// A piece may start with what the piece before could not finish: a CR whose
// LF may follow, then an unfinished UTF-8 sequence.
constexpr std::size_t MAX_CARRY = 1 + (MAX_UTF8_SEQUENCE_BYTES - 1);

// Pieces handed from the reading thread to the hashing thread, in order.
class PieceRing {
 public:
  PieceRing() {
    for (auto& slot : slots_) slot.reset(new (std::nothrow) char[MAX_CARRY + PIECE_SIZE]);
  }
  bool allocated() const {
    for (const auto& slot : slots_) {
      if (!slot) return false;
    }
    return true;
  }

  // Reader: the next free slot, or null once the hasher has failed.
  char* acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return produced_ - consumed_ < PIECE_COUNT || failed_; });
    return failed_ ? nullptr : slots_[produced_ % PIECE_COUNT].get();
  }
  void publish(std::size_t length) {
    update([&] {
      lengths_[produced_ % PIECE_COUNT] = length;
      ++produced_;
    });
  }
  void close() {
    update([&] { closed_ = true; });
  }

  // Hasher: the next filled piece, or an empty view with false at the end.
  bool next(std::string_view& piece) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return consumed_ < produced_ || closed_; });
    if (consumed_ == produced_) return false;
    std::size_t slot = consumed_ % PIECE_COUNT;
    piece = std::string_view(slots_[slot].get(), lengths_[slot]);
    return true;
  }
  void release() {
    update([&] { ++consumed_; });
  }
  void fail() {
    update([&] { failed_ = true; });
  }

 private:
  template <class Change>
  void update(Change change) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change();
    }
    changed_.notify_all();
  }

  std::unique_ptr<char[]> slots_[PIECE_COUNT];
  std::size_t lengths_[PIECE_COUNT] = {};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t produced_ = 0;
  std::size_t consumed_ = 0;
  bool closed_ = false;
  bool failed_ = false;
};

// The helper thread's work: the pieces arrive checked and normalised. Nothing
// may escape the thread: a failure is kept for the reading thread to rethrow.
class PieceHasher {
 public:
  explicit PieceHasher(PieceRing& ring) : ring_(ring), worker_([this] { run(); }) {}
  PieceHasher(const PieceHasher&) = delete;
  PieceHasher& operator=(const PieceHasher&) = delete;
  ~PieceHasher() {
    ring_.close();
    if (worker_.joinable()) worker_.join();
  }

  std::string finish() {
    ring_.close();
    worker_.join();
    if (failure_ != nullptr) std::rethrow_exception(failure_);
    return sha_.finish_hex();
  }

 private:
  void run() noexcept {
    try {
      std::string_view piece;
      while (ring_.next(piece)) {
        sha_.update(piece);
        ring_.release();
      }
    } catch (...) {
      failure_ = std::current_exception();
      ring_.fail();
    }
  }

  PieceRing& ring_;
  Sha256Stream sha_;
  std::exception_ptr failure_;
  std::thread worker_;  // last: starts once everything above exists
};

Expected<std::string> digest_large_file(const OpenTextFile& file) {
  PieceRing ring;
  if (!ring.allocated()) return ErrorText(OUT_OF_MEMORY_TEXT);
  PieceHasher hasher(ring);

  std::string read_error;
  bool valid = true;
  char carry[MAX_CARRY];
  std::size_t carry_size = 0;
  for (bool end = false; !end;) {
    char* slot = ring.acquire();
    if (slot == nullptr) break;  // the hasher failed; finish() reports it
    std::memcpy(slot, carry, carry_size);
    std::size_t filled = carry_size;
    carry_size = 0;
    std::size_t piece_end = filled + PIECE_SIZE;
    while (filled < piece_end) {
      ssize_t got = ::read(file.descriptor(), slot + filled, piece_end - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) read_error = os_error_text(errno);
      if (got <= 0) {
        end = true;
        break;
      }
      filled += static_cast<std::size_t>(got);
    }
    std::size_t complete = end ? filled : end_of_complete_sequences(std::string_view(slot, filled));
    if (valid && !is_valid_utf8(std::string_view(slot, complete))) valid = false;
    if (!end && complete > 0 && slot[complete - 1] == '\r') --complete;
    carry_size = filled - complete;
    std::memcpy(carry, slot + complete, carry_size);
    // Once the text is known to be invalid nothing more is hashed, but the
    // file is still read to its end so that a read error takes precedence.
    ring.publish(valid ? normalize_line_endings_in_place(slot, complete) : 0);
  }

  std::string digest = hasher.finish();
  if (!read_error.empty()) return ErrorText(std::move(read_error));
  if (!valid) return ErrorText(INVALID_UTF8_TEXT);
  return digest;
}

}  // namespace

Expected<std::string> digest_text_file(std::string_view path) {
  Expected<OpenTextFile> opened = open_text_file(path);
  if (!opened) return std::move(opened).error();
  if (opened.value().reported_size() >= STREAM_THRESHOLD) return digest_large_file(opened.value());

  Expected<TextBuffer> text = read_text_file(opened.value());
  if (!text) return std::move(text).error();
  return content_digest(text.value().view());
}

}  // namespace marblewick
