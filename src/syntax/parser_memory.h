// ParserMemory: where the parsing library's allocations go during one parse.
#pragma once

#include <memory>

namespace marblewick {

class ParserPool;

// While an instance lives, the parsing library's small allocations on this
// thread come from a pool of its own, which hands all its memory back when the
// instance ends. A parse makes very many small, short-lived allocations (tree
// nodes, stack entries); serving them from size-class free lists in a few
// large chunks instead of the general allocator is most of what separates a
// command's cost from the bare parse. Nothing is kept between calls: the owner
// is created before the parser and ends after the tree and every cursor.
class ParserMemory {
 public:
  ParserMemory();
  ParserMemory(ParserMemory&& other) noexcept;
  ParserMemory& operator=(ParserMemory&&) = delete;
  ParserMemory(const ParserMemory&) = delete;
  ParserMemory& operator=(const ParserMemory&) = delete;
  ~ParserMemory();

 private:
  std::unique_ptr<ParserPool> pool_;
};

}  // namespace marblewick
