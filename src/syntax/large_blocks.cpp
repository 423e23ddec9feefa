// LargeBlocks: allocation, resizing and freeing of listed large blocks.
#include "syntax/large_blocks.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace marblewick {

BlockHeader* LargeBlocks::allocate(std::size_t bytes, ParserPool* owner) {
  if (bytes > SIZE_MAX - sizeof(Place) - sizeof(BlockHeader)) out_of_memory(bytes);
  // The list grows first: it must not throw from inside the library.
  if (blocks_.size() == blocks_.capacity()) {
    try {
      blocks_.reserve(blocks_.empty() ? 16 : blocks_.size() * 2);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  auto* place = static_cast<Place*>(std::malloc(sizeof(Place) + sizeof(BlockHeader) + bytes));
  if (place == nullptr) return nullptr;
  auto* header = reinterpret_cast<BlockHeader*>(place + 1);
  header->pool = owner;
  header->bytes = bytes;
  place->index = blocks_.size();
  blocks_.push_back(header);
  return header;
}

BlockHeader* LargeBlocks::resize(BlockHeader* header, std::size_t bytes) {
  if (bytes > SIZE_MAX - sizeof(Place) - sizeof(BlockHeader)) return nullptr;
  auto* place =
      static_cast<Place*>(std::realloc(place_of(header), sizeof(Place) + sizeof(BlockHeader) + bytes));
  if (place == nullptr) return nullptr;
  auto* grown = reinterpret_cast<BlockHeader*>(place + 1);
  grown->bytes = bytes;
  blocks_[place->index] = grown;
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
