// The reserve: one block of address space, served first fit from a list of
// free spans in address order. A returned block is merged with the free spans
// beside it, so that what a parse frees while it runs on the reserve (a path
// dropped at the end of a parse, an array grown and moved) serves it again:
// what the reserve must hold is the parse's growth, not all it allocates.
#include "syntax/memory_reserve.h"

#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <new>

namespace marblewick {
namespace {

// Enough for what a parse holds beyond what it held at the last progress
// check until the next one (at most 100 parse operations), chunks and grown
// stacks included. The largest such step is the end of a parse, which builds
// the tree of one stack path while it keeps the best so far: for a text of
// 1 MB that nests as deep as it is long, a path of a million subtrees and two
// trees over them, about 24 MiB. Untouched until needed, so it costs address
// space, not memory. A process whose address space is too small for it gets
// the largest half, quarter... that it can take, down to the smallest.
constexpr std::size_t RESERVE_BYTES = 64 * 1024 * 1024;
constexpr std::size_t SMALLEST_RESERVE_BYTES = 1024 * 1024;

// Set on the thread whose parse had to take from the reserve; cleared when
// the next parse memory is created.
thread_local bool memory_exhausted = false;

class MemoryReserve {
 public:
  void set_aside() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (base_ != nullptr) return;
    for (std::size_t bytes = RESERVE_BYTES; base_ == nullptr && bytes >= SMALLEST_RESERVE_BYTES; bytes /= 2) {
      base_ = static_cast<char*>(std::malloc(bytes));
      if (base_ != nullptr) free_ = new (base_) FreeSpan{bytes, nullptr};
    }
  }

  void* allocate(std::size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t usable = (bytes + GRANULE - 1) / GRANULE * GRANULE;
    if (usable < bytes || usable > RESERVE_BYTES) out_of_memory(bytes);
    std::size_t needed = sizeof(BlockHeader) + usable;
    for (FreeSpan** link = &free_; *link != nullptr; link = &(*link)->next) {
      FreeSpan* span = *link;
      if (span->bytes < needed) continue;
      if (span->bytes - needed >= sizeof(FreeSpan)) {
        // The rest of the span stays free, in the span's place in the list.
        *link = new (reinterpret_cast<char*>(span) + needed) FreeSpan{span->bytes - needed, span->next};
      } else {
        needed = span->bytes;
        *link = span->next;
      }
      ++live_;
      auto* header = reinterpret_cast<BlockHeader*>(span);
      header->pool = reserve_owner();
      header->bytes = needed - sizeof(BlockHeader);
      return user_of(header);
    }
    out_of_memory(bytes);
  }

  void release(BlockHeader* header) {
    std::lock_guard<std::mutex> lock(mutex_);
    --live_;
    char* start = reinterpret_cast<char*>(header);
    std::size_t bytes = sizeof(BlockHeader) + header->bytes;
    FreeSpan* before = nullptr;
    FreeSpan* after = free_;
    while (after != nullptr && reinterpret_cast<char*>(after) < start) {
      before = after;
      after = after->next;
    }
    if (after != nullptr && start + bytes == reinterpret_cast<char*>(after)) {
      bytes += after->bytes;
      after = after->next;
    }
    if (before != nullptr && reinterpret_cast<char*>(before) + before->bytes == start) {
      before->bytes += bytes;
      before->next = after;
      return;
    }
    auto* span = new (start) FreeSpan{bytes, after};
    if (before != nullptr) {
      before->next = span;
    } else {
      free_ = span;
    }
  }

  std::size_t live() {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_;
  }

 private:
  // A free run of the reserve, headed by its size; never smaller than a
  // block header, so every returned block can head one.
  struct FreeSpan {
    std::size_t bytes;
    FreeSpan* next;
  };
  static_assert(sizeof(FreeSpan) <= sizeof(BlockHeader));

  std::mutex mutex_;
  char* base_ = nullptr;
  FreeSpan* free_ = nullptr;
  std::size_t live_ = 0;
};

MemoryReserve reserve;

}  // namespace

void set_aside_reserve() { reserve.set_aside(); }

void* allocate_from_reserve(std::size_t bytes) {
  memory_exhausted = true;
  return reserve.allocate(bytes);
}

void release_to_reserve(BlockHeader* header) { reserve.release(header); }

std::size_t reserve_live_blocks() { return reserve.live(); }

bool took_from_reserve() { return memory_exhausted; }

void clear_took_from_reserve() { memory_exhausted = false; }

}  // namespace marblewick
