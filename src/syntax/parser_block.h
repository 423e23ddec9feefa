// The header on every block the parsing library gets from our allocator hooks,
// and what reads and writes it: shared by the per-parse pool, the reserve and
// the hooks.
//
// Every block carries a 16-byte header naming the pool it came from (or none,
// for blocks taken from the general allocator), so a block is always returned
// to where it came from, whichever pool is current when it is freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(start, bytes) ((void)(start), (void)(bytes))
#define ASAN_UNPOISON_MEMORY_REGION(start, bytes) ((void)(start), (void)(bytes))
#endif

namespace marblewick {

class ParserPool;

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

// Not even the reserve can serve: the library cannot continue, and it aborts
// the same way itself.
[[noreturn]] inline void out_of_memory(std::size_t bytes) {
  std::fprintf(stderr, "tree-sitter failed to allocate %zu bytes\n", bytes);
  std::abort();
}

inline BlockHeader* header_of(void* user) {
  return reinterpret_cast<BlockHeader*>(static_cast<char*>(user) - sizeof(BlockHeader));
}
inline void* user_of(BlockHeader* header) { return reinterpret_cast<char*>(header) + sizeof(BlockHeader); }

// Under AddressSanitizer the pool tells it which bytes of its chunks the
// library may touch: a block's size class from hand-out to release (headers
// stay readable for the hooks). A touch of chunk space not handed out, or of a
// block after its release, is then reported as for the general allocator; a
// tree node used after its tree is deleted no longer goes unseen until the
// parse ends. Elsewhere these do nothing.
inline void mark_in_use(void* start, std::size_t bytes) { ASAN_UNPOISON_MEMORY_REGION(start, bytes); }
inline void mark_unused(void* start, std::size_t bytes) { ASAN_POISON_MEMORY_REGION(start, bytes); }

// A block of its own from the general allocator, headed for `owner` (null:
// no pool), with `before` bytes of the caller's ahead of its header (a
// multiple of 16; the allocation starts there); null when the system refuses
// it.
inline BlockHeader* malloc_block(std::size_t bytes, ParserPool* owner, std::size_t before = 0) {
  if (bytes > SIZE_MAX - sizeof(BlockHeader) - before) out_of_memory(bytes);
  auto* start = static_cast<char*>(std::malloc(before + sizeof(BlockHeader) + bytes));
  if (start == nullptr) return nullptr;
  auto* header = reinterpret_cast<BlockHeader*>(start + before);
  header->pool = owner;
  header->bytes = bytes;
  return header;
}

// The block grown (or shrunk) by the general allocator, perhaps moved, with
// the `before` bytes it was made with; null, the block unchanged, when the
// system refuses.
inline BlockHeader* realloc_block(BlockHeader* header, std::size_t bytes, std::size_t before = 0) {
  if (bytes > SIZE_MAX - sizeof(BlockHeader) - before) return nullptr;
  auto* start = static_cast<char*>(
      std::realloc(reinterpret_cast<char*>(header) - before, before + sizeof(BlockHeader) + bytes));
  if (start == nullptr) return nullptr;
  auto* grown = reinterpret_cast<BlockHeader*>(start + before);
  grown->bytes = bytes;
  return grown;
}

}  // namespace marblewick
