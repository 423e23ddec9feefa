// ParserPool: its chunks, and its end with its parse or after it.
#include "syntax/parser_pool.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace marblewick {
namespace {

// Blocks of detached pools now out: the process's, counted from any thread.
std::atomic<std::size_t> detached_blocks{0};

}  // namespace

ParserPool::~ParserPool() {
  for (char* chunk : chunks_) std::free(chunk);
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

bool ParserPool::grow() {
  if (chunks_.size() == chunks_.capacity()) {
    // The chunk list itself must not throw from inside the library.
    std::size_t wanted = chunks_.empty() ? 16 : chunks_.size() * 2;
    try {
      chunks_.reserve(wanted);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  char* chunk = static_cast<char*>(std::malloc(CHUNK_BYTES));
  if (chunk == nullptr) return false;
  mark_unused(chunk, CHUNK_BYTES);
  chunks_.push_back(chunk);
  hold(CHUNK_BYTES);
  chunk_next_ = chunk;
  chunk_end_ = chunk + CHUNK_BYTES;
  return true;
}

}  // namespace marblewick
