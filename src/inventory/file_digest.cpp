// digest_text_file and summarize_text_file. Every file is read in pieces into
// a buffer of about 1 MiB that TextPieces checks, counts and normalises in
// place, so no text is ever held whole and the digest counts only when the
// whole text proved valid. Reading a small file whole and hashing it once was
// measured no faster, so there is one way to read, whatever the size the file
// reports. Errors are those of read_text_file, with the same precedence: a
// read error found later wins over invalid UTF-8 found earlier, so the file is
// read to its end either way.
//
// For "hash" of a large file, SHA-256 is the slowest step, so the pieces go
// through a small ring of buffers: this thread reads each piece while a helper
// thread hashes the pieces before it. The ring stays in cache, so the file's
// bytes cross memory once. A small file costs less than a thread, and a scan
// worker hashes its pieces itself: the workers are one per CPU already, and a
// helper thread each would only make them take turns.
#include "inventory/file_digest.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "base/error_texts.h"
#include "inventory/sha256.h"
#include "inventory/text_pieces.h"
#include "io/text_file.h"

namespace marblewick {
namespace {

constexpr std::size_t HELPER_THREAD_THRESHOLD = 4 * 1024 * 1024;
constexpr std::size_t PIECE_SIZE = 1024 * 1024;
constexpr std::size_t PIECE_COUNT = 4;
// Room for what the piece before could not finish, then the fresh bytes.
constexpr std::size_t PIECE_BUFFER_SIZE = TextPieces::MAX_CARRY + PIECE_SIZE;

// Pieces handed from the reading thread to the hashing thread, in order.
class PieceRing {
 public:
  PieceRing() {
    for (auto& slot : slots_) slot.reset(new (std::nothrow) char[PIECE_BUFFER_SIZE]);
  }
  bool allocated() const {
    for (const auto& slot : slots_) {
      if (!slot) return false;
    }
    return true;
  }
  // The one buffer used when no helper thread takes the pieces.
  char* first_slot() { return slots_[0].get(); }

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

// Where the pieces go: hashed on the helper thread, through the ring. A
// thread the system refuses is no failure of the command: the pieces are then
// hashed on this thread, in the ring's first buffer, as InlineDigest does.
class OverlappedDigest {
 public:
  // The helper thread starts only once its buffers exist.
  OverlappedDigest() {
    if (!ring_.allocated()) return;
    try {
      hasher_.emplace(ring_);
    } catch (const std::system_error&) {
      hashing_here_ = true;
    }
  }
  bool allocated() const { return hasher_.has_value() || hashing_here_; }
  // The next piece buffer, or null once the hasher has failed.
  char* acquire() { return hashing_here_ ? ring_.first_slot() : ring_.acquire(); }
  // `normalised` lies at the front of the buffer acquire() gave.
  void publish(std::string_view normalised) {
    if (hashing_here_) {
      sha_.update(normalised);
    } else {
      ring_.publish(normalised.size());
    }
  }
  std::string finish() { return hashing_here_ ? sha_.finish_hex() : hasher_->finish(); }

 private:
  PieceRing ring_;
  std::optional<PieceHasher> hasher_;
  bool hashing_here_ = false;
  Sha256Stream sha_;
};

// Where the pieces go: hashed at once, on this thread, in one reused buffer.
class InlineDigest {
 public:
  InlineDigest() : buffer_(new (std::nothrow) char[PIECE_BUFFER_SIZE]) {}
  bool allocated() const { return buffer_ != nullptr; }
  char* acquire() { return buffer_.get(); }
  void publish(std::string_view normalised) { sha_.update(normalised); }
  std::string finish() { return sha_.finish_hex(); }

 private:
  std::unique_ptr<char[]> buffer_;
  Sha256Stream sha_;
};

// Reads into `piece` from `filled` on until the piece is full or the file
// ends; true at the end, which a read error also is (its text kept in
// `read_error`).
bool read_piece(const OpenTextFile& file, char* piece, std::size_t& filled, std::string& read_error) {
  const std::size_t piece_end = filled + PIECE_SIZE;
  while (filled < piece_end) {
    ssize_t got = ::read(file.descriptor(), piece + filled, piece_end - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) read_error = os_error_text(errno);
    if (got <= 0) return true;
    filled += static_cast<std::size_t>(got);
  }
  return false;
}

template <class Digest>
Expected<TextFileSummary> stream_text_file(const OpenTextFile& file, bool count_lines) {
  Digest digest;
  // Refused memory is no fact about the file: its kind makes it fail the
  // whole command, a scan included, never leave out one scan entry quietly.
  if (!digest.allocated()) return out_of_memory_error();

  TextPieces text(count_lines);
  std::string read_error;
  for (bool end = false; !end;) {
    char* piece = digest.acquire();
    if (piece == nullptr) break;  // the hasher failed; finish() reports it
    std::size_t filled = text.begin_piece(piece);
    end = read_piece(file, piece, filled, read_error);
    // Once the text is known to be invalid nothing more is hashed, but the
    // file is still read to its end so that a read error takes precedence.
    digest.publish(text.end_piece(piece, filled, end));
  }

  std::string hex = digest.finish();
  if (!read_error.empty()) return ErrorText(ErrorKind::file_system, std::move(read_error));
  if (!text.valid()) return invalid_utf8_error();
  return TextFileSummary{std::move(hex), text.line_count(), file.status()};
}

}  // namespace

Expected<std::string> digest_text_file(std::string_view path) {
  Expected<OpenTextFile> opened = open_text_file(path);
  if (!opened) return std::move(opened).error();
  Expected<TextFileSummary> streamed =
      opened.value().reported_size() >= HELPER_THREAD_THRESHOLD
          ? stream_text_file<OverlappedDigest>(opened.value(), /*count_lines=*/false)
          : stream_text_file<InlineDigest>(opened.value(), /*count_lines=*/false);
  if (!streamed) return std::move(streamed).error();
  return std::move(streamed.value().digest);
}

Expected<TextFileSummary> summarize_text_file(std::string_view path) {
  Expected<OpenTextFile> opened = open_text_file(path);
  if (!opened) return std::move(opened).error();
  return stream_text_file<InlineDigest>(opened.value(), /*count_lines=*/true);
}

}  // namespace marblewick
