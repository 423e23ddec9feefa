// The parsing library's allocator hooks: where each of its allocations goes
// (the pool of this thread's parse, the general allocator, or the reserve),
// and the owners that make a pool, or lasting allocations, current.
//
// The hooks are installed once per process, before the library allocates
// anything; they change only this module's private copy of the library.
// Blocks handed out and not yet returned are counted (live_parser_blocks), so
// a test can prove that a call leaves none behind.
//
// Whose state is whose, since parses run on several threads at once:
// - the process's: the hooks (installed once, then only read), the reserve
//   (behind its mutex) and the counts of general and detached blocks (atomic);
// - a thread's: which pool is current (at most one: a thread runs one parse at
//   a time) and whether its parse had to take from the reserve;
// - a parse's: its pool (parser_pool.h).
#include "syntax/parser_memory.h"

#include "base/internal_failure.h"
#include "syntax/memory_reserve.h"
#include "syntax/parser_block.h"
#include "syntax/parser_pool.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include <tree_sitter/api.h>

// The library's allocator just now (its alloc.c): the hooks below once
// installed, unless something switched it back to the plain one, as the
// fuzzer's run under the sanitizer's eye does.
extern "C" {
extern void* (*ts_current_malloc)(std::size_t);
}

namespace marblewick {
namespace {

// Blocks of the general allocator now out: rare, large requests made outside
// a parse.
std::atomic<std::size_t> live_general_blocks{0};

// The tag that blocks kept until the process ends carry in place of a pool.
ParserPool* lasting_owner() {
  static char tag;
  return reinterpret_cast<ParserPool*>(&tag);
}

// Whether this thread's allocations are for lasting objects just now.
thread_local bool lasting_allocations = false;

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
    release_to_reserve(header);
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
    set_aside_reserve();
    ts_set_allocator(hook_malloc, hook_calloc, hook_realloc, hook_free);
  });
}

}  // namespace

ParserMemory::ParserMemory() {
  install_hooks_once();
  // One parse at a time per thread: a second pool would take the first one's
  // allocations from here on, and its ceiling and counts with them.
  check_invariant(current_pool == nullptr, "a parse began while another is current on its thread");
  clear_took_from_reserve();
  pool_ = new ParserPool();
  current_pool = pool_;
  under_hooks_ = ts_current_malloc == hook_malloc;
}

ParserMemory::ParserMemory(ParserMemory&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)),
      under_hooks_(other.under_hooks_),
      discard_(std::exchange(other.discard_, false)) {}

ParserMemory::~ParserMemory() {
  if (pool_ == nullptr) return;
  if (current_pool == pool_) current_pool = nullptr;
  if (discard_) {
    pool_->discard();
  } else {
    pool_->end_parse();
  }
}

LastingParserAllocations::LastingParserAllocations() {
  install_hooks_once();
  check_invariant(current_pool == nullptr && !lasting_allocations,
                  "lasting allocations began while a parse or others are current on its thread");
  clear_took_from_reserve();
  lasting_allocations = true;
}

LastingParserAllocations::~LastingParserAllocations() { lasting_allocations = false; }

std::size_t live_parser_blocks() {
  std::size_t live = live_general_blocks.load(std::memory_order_relaxed) +
                     ParserPool::live_detached_blocks() + reserve_live_blocks();
  if (current_pool != nullptr) live += current_pool->live_blocks();
  return live;
}

bool parser_memory_exhausted() { return took_from_reserve(); }

bool parser_memory_over_ceiling() { return current_pool != nullptr && current_pool->over_ceiling(); }

void ParserMemory::set_ceiling(std::size_t bytes) { pool_->set_ceiling(bytes); }

std::size_t ParserMemory::peak_bytes() const { return pool_->peak_bytes(); }

bool ParserMemory::can_discard() const {
  // Blocks the plain allocator served never reach the pool, so only a parse
  // under the hooks throughout leaves all of its blocks there.
  return pool_ != nullptr && pool_->served_every_block() && under_hooks_ && ts_current_malloc == hook_malloc;
}

void ParserMemory::discard_at_end() {
  check_invariant(can_discard(), "a parse's memory was discarded with blocks from outside its pool");
  discard_ = true;
}

}  // namespace marblewick
