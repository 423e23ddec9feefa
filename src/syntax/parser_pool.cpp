// ParserPool: its chunks, and its end with its parse or after it.
#include "syntax/parser_pool.h"

#include "syntax/huge_page_region.h"
#include "syntax/pool_chunks.h"
#include "syntax/room_for_one.h"

#include <atomic>
#include <cstddef>

namespace marblewick {
namespace {

// Blocks of detached pools now out: the process's, counted from any thread.
std::atomic<std::size_t> detached_blocks{0};

}  // namespace

ParserPool::~ParserPool() {
  give_back_pool_chunks(chunks_);
  for (char* region : regions_) {
    // The sanitizer's marks on a region outlast its mapping, and the system
    // may map the same addresses again for anyone.
    ASAN_UNPOISON_MEMORY_REGION(region, HUGE_PAGE_REGION_BYTES);
    unmap_huge_page_region(region);
  }
}

void ParserPool::end_parse() {
  if (live_blocks_ == 0) {
    delete this;
    return;
  }
  detached_ = true;
  detached_blocks.fetch_add(live_blocks_, std::memory_order_relaxed);
}

void ParserPool::discard() {
  large_blocks_.free_all();
  delete this;
}

void ParserPool::released_while_detached() {
  detached_blocks.fetch_sub(1, std::memory_order_relaxed);
  if (live_blocks_ == 0) delete this;
}

std::size_t ParserPool::live_detached_blocks() { return detached_blocks.load(std::memory_order_relaxed); }

char* ParserPool::chunk_from_region() {
  if (region_next_ == region_end_) {
    if (!make_room_for_one(regions_)) return nullptr;
    char* region = map_huge_page_region();
    if (region == nullptr) return nullptr;
    regions_.push_back(region);
    region_next_ = region;
    region_end_ = region + HUGE_PAGE_REGION_BYTES;
  }
  char* chunk = region_next_;
  region_next_ += CHUNK_BYTES;
  return chunk;
}

bool ParserPool::grow() {
  // A chunk is a chunk wherever it lies: the bytes held, and so the ceiling,
  // are those of the same chunks from the general allocator.
  char* chunk = chunks_.size() >= ALLOCATED_CHUNKS ? chunk_from_region() : nullptr;
  if (chunk == nullptr) {
    if (!make_room_for_one(chunks_)) return false;
    chunk = take_pool_chunk();
    if (chunk == nullptr) return false;
    chunks_.push_back(chunk);
  }
  mark_unused(chunk, CHUNK_BYTES);
  hold(CHUNK_BYTES);
  chunk_next_ = chunk;
  chunk_end_ = chunk + CHUNK_BYTES;
  return true;
}

}  // namespace marblewick
