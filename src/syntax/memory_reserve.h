// The reserve: memory set aside once per process, which serves the parsing
// library when the system refuses it.
//
// The library cannot handle a failed allocation, so when the system refuses
// memory the request is served from here, and the parse is marked exhausted:
// its next progress check stops it, and the command reports "out of memory"
// instead of the process aborting. Only when the reserve cannot serve either
// does the process abort, as the library itself would. The reserve is the
// process's (behind its mutex); the mark is the thread's.
#pragma once

#include "syntax/parser_block.h"

#include <cstddef>

namespace marblewick {

// Sets the reserve aside; later calls do nothing.
void set_aside_reserve();

// A block of the reserve, headed by reserve_owner(), for a request the system
// refused; marks this thread's parse exhausted.
void* allocate_from_reserve(std::size_t bytes);

// Gives a block of the reserve back.
void release_to_reserve(BlockHeader* header);

// Blocks of the reserve now out.
std::size_t reserve_live_blocks();

// The tag that reserve blocks carry in place of a pool.
inline ParserPool* reserve_owner() {
  static char tag;
  return reinterpret_cast<ParserPool*>(&tag);
}

// Whether this thread had to take from the reserve since the mark was last
// cleared (when a parse, or lasting allocations, begin).
bool took_from_reserve();
void clear_took_from_reserve();

}  // namespace marblewick
