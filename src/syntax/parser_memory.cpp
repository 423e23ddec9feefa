// The parsing library's allocator hooks and the per-parse pool behind them.
//
// Every block handed to the library carries a 16-byte header naming the pool
// it came from (or none, for blocks taken from the general allocator), so a
// block is always returned to where it came from, whichever pool is current
// when it is freed. The hooks are installed once per process, before the
// library allocates anything; they change only this module's private copy of
// the library.
//
// A pool object lives as long as any block that names it: when its parse ends
// with blocks still out, it stays behind, detached, and frees itself when the
// last of them comes back. Blocks handed out and not yet returned are counted
// (live_parser_blocks), so a test can prove that a call leaves none behind.
// Large requests made during a parse come from the general allocator but
// still name the parse's pool, so the pool knows every byte its parse holds:
// its chunks and those large blocks. That sum has a ceiling per parse, and
// passing it marks the parse, whose next progress check stops it.
//
// The library cannot handle a failed allocation, so when the system refuses
// memory the request is served from a reserve set aside once per process, and
// the parse is marked exhausted: its next progress check stops it, and the
// command reports "out of memory" instead of the process aborting. Only when
// the reserve cannot serve either does the process abort, as the library
// itself would.
//
// Whose state is whose, since parses run on several threads at once:
// - the process's: the hooks (installed once, then only read), the reserve
//   (behind its mutex) and the counts of general and detached blocks (atomic);
// - a thread's: which pool is current (at most one: a thread runs one parse at
//   a time) and whether its parse had to take from the reserve;
// - a parse's: its pool, with the chunks, free lists, live-block count, held
//   and peak bytes and ceiling. Only the parse's thread allocates from it; a
//   block goes back from whichever thread holds the tree, which is one at a
//   time, as for every tree of the library.
#include "syntax/parser_memory.h"

#include "base/internal_failure.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include <tree_sitter/api.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(start, bytes) ((void)(start), (void)(bytes))
#define ASAN_UNPOISON_MEMORY_REGION(start, bytes) ((void)(start), (void)(bytes))
#endif

namespace marblewick {
namespace {

struct alignas(16) BlockHeader {
  // The pool the block came from; null for the general allocator, and
  // reserve_owner() for the reserve.
  ParserPool* pool;
  std::size_t bytes;  // usable size: the size class for pool blocks
};
static_assert(sizeof(BlockHeader) == 16);

constexpr std::size_t GRANULE = 16;
// Larger requests (parse stacks, child arrays of wide nodes) are rare and go
// to the general allocator. A block's usable size tells which kind it is.
constexpr std::size_t MAX_POOLED_BYTES = 512;
constexpr std::size_t CLASS_COUNT = MAX_POOLED_BYTES / GRANULE + 1;
constexpr std::size_t CHUNK_BYTES = 64 * 1024;
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

// Not even the reserve can serve: the library cannot continue, and it aborts
// the same way itself.
[[noreturn]] void out_of_memory(std::size_t bytes) {
  std::fprintf(stderr, "tree-sitter failed to allocate %zu bytes\n", bytes);
  std::abort();
}

BlockHeader* header_of(void* user) {
  return reinterpret_cast<BlockHeader*>(static_cast<char*>(user) - sizeof(BlockHeader));
}
void* user_of(BlockHeader* header) { return reinterpret_cast<char*>(header) + sizeof(BlockHeader); }

// Under AddressSanitizer the pool tells it which bytes of its chunks the
// library may touch: a block's size class from hand-out to release (headers
// stay readable for the hooks). A touch of chunk space not handed out, or of a
// block after its release, is then reported as for the general allocator; a
// tree node used after its tree is deleted no longer goes unseen until the
// parse ends. Elsewhere these do nothing.
void mark_in_use(void* start, std::size_t bytes) { ASAN_UNPOISON_MEMORY_REGION(start, bytes); }
void mark_unused(void* start, std::size_t bytes) { ASAN_POISON_MEMORY_REGION(start, bytes); }

// Blocks of the general allocator now out, and blocks of detached pools
// (whose parse has ended) now out. Both are rare: large requests, and blocks
// kept past their parse, which should never happen.
std::atomic<std::size_t> live_general_blocks{0};
std::atomic<std::size_t> live_detached_blocks{0};

// The tag that blocks kept until the process ends carry in place of a pool.
ParserPool* lasting_owner() {
  static char tag;
  return reinterpret_cast<ParserPool*>(&tag);
}

// Whether this thread's allocations are for lasting objects just now.
thread_local bool lasting_allocations = false;

// The tag that reserve blocks carry in place of a pool.
ParserPool* reserve_owner() {
  static char tag;
  return reinterpret_cast<ParserPool*>(&tag);
}

// Set on the thread whose parse had to take from the reserve; cleared when
// the next parse memory is created.
thread_local bool memory_exhausted = false;

// The reserve: one block of address space, served first fit from a list of
// free spans in address order. A returned block is merged with the free spans
// beside it, so that what a parse frees while it runs on the reserve (a path
// dropped at the end of a parse, an array grown and moved) serves it again:
// what the reserve must hold is the parse's growth, not all it allocates.
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

// What every hook does when the system refuses memory.
void* allocate_from_reserve(std::size_t bytes) {
  memory_exhausted = true;
  return reserve.allocate(bytes);
}

// A block of its own from the general allocator, headed for `owner` (null:
// no pool); null when the system refuses it.
BlockHeader* malloc_block(std::size_t bytes, ParserPool* owner) {
  if (bytes > SIZE_MAX - sizeof(BlockHeader)) out_of_memory(bytes);
  auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + bytes));
  if (header != nullptr) {
    header->pool = owner;
    header->bytes = bytes;
  }
  return header;
}

// The block grown (or shrunk) by the general allocator, perhaps moved; null,
// the block unchanged, when the system refuses.
BlockHeader* realloc_block(BlockHeader* header, std::size_t bytes) {
  if (bytes > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
  auto* grown = static_cast<BlockHeader*>(std::realloc(header, sizeof(BlockHeader) + bytes));
  if (grown != nullptr) grown->bytes = bytes;
  return grown;
}

void* general_alloc(std::size_t bytes) {
  BlockHeader* header = malloc_block(bytes, nullptr);
  if (header == nullptr) return allocate_from_reserve(bytes);
  live_general_blocks.fetch_add(1, std::memory_order_relaxed);
  return user_of(header);
}

void general_free(BlockHeader* header) {
  live_general_blocks.fetch_sub(1, std::memory_order_relaxed);
  std::free(header);
}

}  // namespace

class ParserPool {
 public:
  ParserPool() = default;
  ParserPool(const ParserPool&) = delete;
  ParserPool& operator=(const ParserPool&) = delete;
  std::size_t live_blocks() const { return live_blocks_; }
  std::size_t peak_bytes() const { return peak_bytes_; }
  bool over_ceiling() const { return over_ceiling_; }
  void set_ceiling(std::size_t bytes) {
    ceiling_bytes_ = bytes;
    over_ceiling_ = held_bytes_ > ceiling_bytes_;
  }

  // A block above the pooled sizes: its own allocation, counted here.
  void* allocate_large(std::size_t bytes) {
    BlockHeader* header = malloc_block(bytes, this);
    if (header == nullptr) return allocate_from_reserve(bytes);
    ++live_blocks_;
    hold(bytes);
    return user_of(header);
  }

  // A large block of this pool grown in place where the system allows;
  // null (the block unchanged) when it refuses.
  void* grow_large(BlockHeader* header, std::size_t bytes) {
    std::size_t before = header->bytes;
    BlockHeader* grown = realloc_block(header, bytes);
    if (grown == nullptr) return nullptr;
    held_bytes_ -= before;
    hold(bytes);
    return user_of(grown);
  }

  void* allocate(std::size_t bytes) {
    std::size_t size_class = bytes == 0 ? 1 : (bytes + GRANULE - 1) / GRANULE;
    ++live_blocks_;
    if (FreeBlock* block = free_lists_[size_class]) {
      mark_in_use(block, size_class * GRANULE);
      free_lists_[size_class] = block->next;
      return block;
    }
    std::size_t needed = sizeof(BlockHeader) + size_class * GRANULE;
    if (static_cast<std::size_t>(chunk_end_ - chunk_next_) < needed && !grow()) {
      --live_blocks_;
      return allocate_from_reserve(bytes);
    }
    auto* header = reinterpret_cast<BlockHeader*>(chunk_next_);
    mark_in_use(header, needed);
    chunk_next_ += needed;
    header->pool = this;
    header->bytes = size_class * GRANULE;
    return user_of(header);
  }

  void release(BlockHeader* header) {
    if (header->bytes > MAX_POOLED_BYTES) {
      held_bytes_ -= header->bytes;
      std::free(header);
    } else {
      release_pooled(header);
    }
    --live_blocks_;
    if (detached_) {
      live_detached_blocks.fetch_sub(1, std::memory_order_relaxed);
      if (live_blocks_ == 0) delete this;
    }
  }

  // The end of the parse this pool served. The pool goes with it unless a
  // block is still out: then it waits, detached, for the last one.
  void end_parse() {
    if (live_blocks_ == 0) {
      delete this;
      return;
    }
    detached_ = true;
    live_detached_blocks.fetch_add(live_blocks_, std::memory_order_relaxed);
  }

 private:
  ~ParserPool() {
    for (char* chunk : chunks_) std::free(chunk);
  }

  struct FreeBlock {
    FreeBlock* next;
  };

  void release_pooled(BlockHeader* header) {
    auto* block = static_cast<FreeBlock*>(user_of(header));
    std::size_t size_class = header->bytes / GRANULE;
    block->next = free_lists_[size_class];
    free_lists_[size_class] = block;
    mark_unused(block, header->bytes);
  }

  void hold(std::size_t bytes) {
    held_bytes_ += bytes;
    if (held_bytes_ > peak_bytes_) peak_bytes_ = held_bytes_;
    if (held_bytes_ > ceiling_bytes_) over_ceiling_ = true;
  }

  // A fresh chunk; false when the system refuses one.
  bool grow() {
    if (chunks_.size() == chunks_.capacity()) {
      // The chunk list itself must not throw from inside the library.
      std::size_t wanted = chunks_.empty() ? 16 : chunks_.size() * 2;
      try {
        chunks_.reserve(wanted);
      } catch (const std::bad_alloc&) {
        return false;
      }
    }
    char* chunk = static_cast<char*>(std::malloc(CHUNK_BYTES));
    if (chunk == nullptr) return false;
    mark_unused(chunk, CHUNK_BYTES);
    chunks_.push_back(chunk);
    hold(CHUNK_BYTES);
    chunk_next_ = chunk;
    chunk_end_ = chunk + CHUNK_BYTES;
    return true;
  }

  FreeBlock* free_lists_[CLASS_COUNT] = {};
  char* chunk_next_ = nullptr;
  char* chunk_end_ = nullptr;
  std::vector<char*> chunks_;
  std::size_t live_blocks_ = 0;
  bool detached_ = false;
  // Bytes the parse holds now (chunks, never given back before the pool
  // ends, and large blocks), the most it has held, and its ceiling.
  std::size_t held_bytes_ = 0;
  std::size_t peak_bytes_ = 0;
  std::size_t ceiling_bytes_ = SIZE_MAX;
  bool over_ceiling_ = false;
};

namespace {

// The pool serving this thread's parse, if any.
thread_local ParserPool* current_pool = nullptr;

void* lasting_alloc(std::size_t bytes) {
  BlockHeader* header = malloc_block(bytes, lasting_owner());
  if (header == nullptr) return allocate_from_reserve(bytes);
  return user_of(header);
}

void* hook_malloc(std::size_t bytes) {
  ParserPool* pool = current_pool;
  if (pool == nullptr) return lasting_allocations ? lasting_alloc(bytes) : general_alloc(bytes);
  return bytes <= MAX_POOLED_BYTES ? pool->allocate(bytes) : pool->allocate_large(bytes);
}

void* hook_calloc(std::size_t count, std::size_t size) {
  if (size != 0 && count > SIZE_MAX / size) out_of_memory(SIZE_MAX);
  std::size_t bytes = count * size;
  void* user = hook_malloc(bytes);
  std::memset(user, 0, bytes);
  return user;
}

void hook_free(void* user) {
  if (user == nullptr) return;
  BlockHeader* header = header_of(user);
  if (header->pool == nullptr) {
    general_free(header);
  } else if (header->pool == lasting_owner()) {
    std::free(header);
  } else if (header->pool == reserve_owner()) {
    reserve.release(header);
  } else {
    header->pool->release(header);
  }
}

void* hook_realloc(void* user, std::size_t bytes) {
  if (user == nullptr) return hook_malloc(bytes);
  BlockHeader* header = header_of(user);
  // A pool block already large enough is kept: its size class has room.
  if (header->pool != nullptr && bytes <= header->bytes) return user;
  ParserPool* pool = current_pool;
  if (header->pool == pool && pool != nullptr && header->bytes > MAX_POOLED_BYTES) {
    if (void* grown = pool->grow_large(header, bytes)) return grown;
    // Refused: the block is still there, and moves to the reserve below.
  }
  if (header->pool == lasting_owner() && pool == nullptr && lasting_allocations) {
    if (BlockHeader* grown = realloc_block(header, bytes)) return user_of(grown);
  }
  if (header->pool == nullptr && pool == nullptr) {
    if (BlockHeader* grown = realloc_block(header, bytes)) return user_of(grown);
    // Refused: the block is still there, and moves to the reserve below.
  }
  void* moved = hook_malloc(bytes);
  std::memcpy(moved, user, header->bytes < bytes ? header->bytes : bytes);
  hook_free(user);
  return moved;
}

void install_hooks_once() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    reserve.set_aside();
    ts_set_allocator(hook_malloc, hook_calloc, hook_realloc, hook_free);
  });
}

}  // namespace

ParserMemory::ParserMemory() {
  install_hooks_once();
  // One parse at a time per thread: a second pool would take the first one's
  // allocations from here on, and its ceiling and counts with them.
  check_invariant(current_pool == nullptr, "a parse began while another is current on its thread");
  memory_exhausted = false;
  pool_ = new ParserPool();
  current_pool = pool_;
}

ParserMemory::ParserMemory(ParserMemory&& other) noexcept : pool_(std::exchange(other.pool_, nullptr)) {}

ParserMemory::~ParserMemory() {
  if (pool_ == nullptr) return;
  if (current_pool == pool_) current_pool = nullptr;
  pool_->end_parse();
}

LastingParserAllocations::LastingParserAllocations() {
  install_hooks_once();
  check_invariant(current_pool == nullptr && !lasting_allocations,
                  "lasting allocations began while a parse or others are current on its thread");
  memory_exhausted = false;
  lasting_allocations = true;
}

LastingParserAllocations::~LastingParserAllocations() { lasting_allocations = false; }

std::size_t live_parser_blocks() {
  std::size_t live = live_general_blocks.load(std::memory_order_relaxed) +
                     live_detached_blocks.load(std::memory_order_relaxed) + reserve.live();
  if (current_pool != nullptr) live += current_pool->live_blocks();
  return live;
}

bool parser_memory_exhausted() { return memory_exhausted; }

bool parser_memory_over_ceiling() { return current_pool != nullptr && current_pool->over_ceiling(); }

void ParserMemory::set_ceiling(std::size_t bytes) { pool_->set_ceiling(bytes); }

std::size_t ParserMemory::peak_bytes() const { return pool_->peak_bytes(); }

}  // namespace marblewick
