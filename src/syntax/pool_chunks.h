// The chunks the parse pools cut their small blocks from, and the few kept
// between parses.
//
// A parse frees every chunk it took when it ends, and the general allocator
// gives a freed stretch of that size back to the system at once: the next
// parse then faults the same memory in again, page by page, some 300 faults
// for a source of 50 KB, a tenth of its time. So the chunks of the last parses
// stay in the process, up to CACHED_CHUNKS of them (4 MiB) for all threads
// together, and serve the next parses first.
#pragma once

#include <cstddef>
#include <vector>

namespace marblewick {

inline constexpr std::size_t POOL_CHUNK_BYTES = 64 * 1024;
inline constexpr std::size_t CACHED_CHUNKS = 64;

// A chunk of POOL_CHUNK_BYTES, a kept one if there is one; null when the
// system refuses one. Its contents are whatever the last user left.
char* take_pool_chunk();
// Gives back chunks of take_pool_chunk(): kept while there is room, the rest
// freed.
void give_back_pool_chunks(const std::vector<char*>& chunks);

}  // namespace marblewick
