// ParserMemory: where the parsing library's allocations go during one parse.
#pragma once

#include <cstddef>

namespace marblewick {

class ParserPool;

// While an instance lives, the parsing library's small allocations on this
// thread come from a pool of its own, which hands all its memory back when the
// instance ends. One instance at a time per thread: making a second while one
// lives is an internal failure. A parse makes very many small, short-lived allocations (tree
// nodes, stack entries); serving them from size-class free lists in a few
// large chunks instead of the general allocator is most of what separates a
// command's cost from the bare parse. Nothing is kept between calls: the owner
// is created before the parser and ends after the tree and every cursor. A
// block the library keeps past that point stays valid: its pool waits for it,
// unless the owner was told to give such blocks up (discard_at_end).
class ParserMemory {
 public:
  ParserMemory();
  ParserMemory(ParserMemory&& other) noexcept;
  ParserMemory& operator=(ParserMemory&&) = delete;
  ParserMemory(const ParserMemory&) = delete;
  ParserMemory& operator=(const ParserMemory&) = delete;
  ~ParserMemory();

  // The most bytes this parse may hold: its pool's chunks and its large
  // blocks. Passing it marks the parse (parser_memory_over_ceiling); the
  // allocation itself still succeeds. No ceiling unless one is set.
  void set_ceiling(std::size_t bytes);
  // The most bytes the parse has held at once so far.
  std::size_t peak_bytes() const;

  // Whether discard_at_end may be asked: every block of the parse came from
  // its pool, none from the reserve (which must have its blocks back) and
  // none from the plain allocator (the hooks were the library's throughout).
  bool can_discard() const;
  // Makes the end of this instance free every block still out at once
  // instead of waiting for them: for a tree dropped with its memory, whose
  // nodes nothing touches again. Only when can_discard().
  void discard_at_end();

 private:
  ParserPool* pool_;          // ends through ParserPool::end_parse or discard, never deleted here
  bool under_hooks_ = false;  // whether the hooks were the library's allocator at the start
  bool discard_ = false;
};

// While an instance lives, the parsing library's allocations on this thread
// are for objects the process keeps until it ends (a registered language's
// compiled tags query): they come from the general allocator and are not
// counted by live_parser_blocks. Never while a ParserMemory is current on the
// thread. parser_memory_exhausted() tells afterwards whether the system
// refused any of them.
class LastingParserAllocations {
 public:
  LastingParserAllocations();
  LastingParserAllocations(const LastingParserAllocations&) = delete;
  LastingParserAllocations& operator=(const LastingParserAllocations&) = delete;
  ~LastingParserAllocations();
};

// Blocks the parsing library holds from these hooks right now, on any thread
// plus the pool current on this one. Zero between calls: nothing a call
// allocates for parsing outlives it.
std::size_t live_parser_blocks();

// True once the system refused memory to the parse running on this thread and
// the hooks had to serve it from their reserve: the parse must stop at its
// next progress check and the command report "out of memory".
bool parser_memory_exhausted();

// True once the parse running on this thread has held more memory than its
// ceiling: it must stop at its next progress check.
bool parser_memory_over_ceiling();

}  // namespace marblewick
