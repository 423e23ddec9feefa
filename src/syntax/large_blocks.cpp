// LargeBlocks: allocation, resizing and freeing of listed large blocks.
#include "syntax/large_blocks.h"

#include "syntax/room_for_one.h"

#include <cstdlib>

namespace marblewick {

BlockHeader* LargeBlocks::allocate(std::size_t bytes, ParserPool* owner) {
  // The list grows first, so that a listed block never waits for room.
  if (!make_room_for_one(blocks_)) return nullptr;
  BlockHeader* header = malloc_block(bytes, owner, sizeof(Place));
  if (header == nullptr) return nullptr;
  place_of(header)->index = blocks_.size();
  blocks_.push_back(header);
  return header;
}

BlockHeader* LargeBlocks::resize(BlockHeader* header, std::size_t bytes) {
  BlockHeader* grown = realloc_block(header, bytes, sizeof(Place));
  if (grown == nullptr) return nullptr;
  blocks_[place_of(grown)->index] = grown;
  return grown;
}

void LargeBlocks::free(BlockHeader* header) {
  Place* place = place_of(header);
  BlockHeader* last = blocks_.back();
  blocks_[place->index] = last;
  place_of(last)->index = place->index;
  blocks_.pop_back();
  std::free(place);
}

void LargeBlocks::free_all() {
  for (BlockHeader* header : blocks_) std::free(place_of(header));
  blocks_.clear();
}

}  // namespace marblewick
