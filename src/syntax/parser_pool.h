// ParserPool: the memory of one parse, served from size-class free lists in a
// few large chunks.
//
// A pool object lives as long as any block that names it: when its parse ends
// with blocks still out, it stays behind, detached, and frees itself when the
// last of them comes back, unless its owner gives those blocks up with it
// (discard). Large requests made during a parse come from the general
// allocator but still name the parse's pool, which lists them, so the pool
// knows every byte its parse holds: its chunks and those large blocks. That
// sum has a ceiling per parse, and passing it marks the parse, whose next
// progress check stops it. A pool's first chunks come from the general
// allocator; a pool that outgrows them cuts the rest from huge-page regions,
// so a large parse faults its memory in by the region, not by the page. Only
// the parse's thread allocates from a pool; a block goes back from whichever
// thread holds the tree, which is one at a time, as for every tree of the
// library. The hot paths are defined here, so that the hooks inline them.
#pragma once

#include "syntax/large_blocks.h"
#include "syntax/memory_reserve.h"
#include "syntax/parser_block.h"
#include "syntax/pool_chunks.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace marblewick {

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
    BlockHeader* header = large_blocks_.allocate(bytes, this);
    if (header == nullptr) return take_from_reserve(bytes);
    ++live_blocks_;
    hold(bytes);
    return user_of(header);
  }

  // A large block of this pool grown in place where the system allows;
  // null (the block unchanged) when it refuses.
  void* grow_large(BlockHeader* header, std::size_t bytes) {
    std::size_t before = header->bytes;
    BlockHeader* grown = large_blocks_.resize(header, bytes);
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
      return take_from_reserve(bytes);
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
      large_blocks_.free(header);
    } else {
      release_pooled(header);
    }
    --live_blocks_;
    if (detached_) released_while_detached();
  }

  // The end of the parse this pool served. The pool goes with it unless a
  // block is still out: then it waits, detached, for the last one.
  void end_parse();

  // Whether every block of this pool's parse came from the pool itself, none
  // from the reserve: only then does discard free all the parse took.
  bool served_every_block() const { return !took_from_reserve_; }

  // The end of the parse this pool served, with every block still out given
  // up: the pool frees its chunks and large blocks at once and goes. Only for
  // blocks that nothing will touch again (the trees of the parse, dropped
  // unreleased), and only when served_every_block().
  void discard();

  // Blocks of detached pools (whose parse has ended) now out, on any thread.
  // Rare: blocks kept past their parse, which should never happen.
  static std::size_t live_detached_blocks();

 private:
  static constexpr std::size_t CLASS_COUNT = MAX_POOLED_BYTES / GRANULE + 1;
  static constexpr std::size_t CHUNK_BYTES = POOL_CHUNK_BYTES;
  // Chunks from the general allocator before the pool turns to regions: most
  // parses never reach it, and a region would cost them a whole huge page.
  static constexpr std::size_t ALLOCATED_CHUNKS = 32;

  ~ParserPool();

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
  bool grow();
  // A chunk cut from a huge-page region (a new one when the last is used
  // up); null when the system refuses a region.
  char* chunk_from_region();
  // A request the system refused, served by the reserve.
  void* take_from_reserve(std::size_t bytes) {
    took_from_reserve_ = true;
    return allocate_from_reserve(bytes);
  }
  // A block came back to this pool after its parse ended.
  void released_while_detached();

  FreeBlock* free_lists_[CLASS_COUNT] = {};
  char* chunk_next_ = nullptr;
  char* chunk_end_ = nullptr;
  std::vector<char*> chunks_;
  // Regions mapped for this pool, and the unused part of the last one.
  std::vector<char*> regions_;
  char* region_next_ = nullptr;
  char* region_end_ = nullptr;
  LargeBlocks large_blocks_;
  std::size_t live_blocks_ = 0;
  bool detached_ = false;
  bool took_from_reserve_ = false;
  // Bytes the parse holds now (chunks, never given back before the pool
  // ends, and large blocks), the most it has held, and its ceiling.
  std::size_t held_bytes_ = 0;
  std::size_t peak_bytes_ = 0;
  std::size_t ceiling_bytes_ = SIZE_MAX;
  bool over_ceiling_ = false;
};

}  // namespace marblewick
