// LargeBlocks: the blocks of one parse's pool that are too large for its size
// classes, each an allocation of its own, listed so that the pool can free
// them all at once when its parse's trees are given up with it.
//
// Each block's place in the list is kept just before its header, so a block
// leaves the list in constant time (the last one takes its place).
#pragma once

#include "syntax/parser_block.h"

#include <cstddef>
#include <vector>

namespace marblewick {

class ParserPool;

class LargeBlocks {
 public:
  LargeBlocks() = default;
  LargeBlocks(const LargeBlocks&) = delete;
  LargeBlocks& operator=(const LargeBlocks&) = delete;

  // A listed block of `bytes` usable bytes headed for `owner`; null, the list
  // unchanged, when the system refuses it.
  BlockHeader* allocate(std::size_t bytes, ParserPool* owner);
  // The block grown (or shrunk), perhaps moved, still listed; null, the block
  // unchanged, when the system refuses.
  BlockHeader* resize(BlockHeader* header, std::size_t bytes);
  // Frees one listed block.
  void free(BlockHeader* header);
  // Frees every listed block.
  void free_all();

 private:
  // What stands before a large block's header: its index in `blocks_`.
  struct alignas(16) Place {
    std::size_t index;
  };

  static Place* place_of(BlockHeader* header) { return reinterpret_cast<Place*>(header) - 1; }

  std::vector<BlockHeader*> blocks_;
};

}  // namespace marblewick
