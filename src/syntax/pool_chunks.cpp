// Pool chunks: a bounded stack of kept chunks, shared by all threads.
#include "syntax/pool_chunks.h"

#include <cstdlib>
#include <mutex>

namespace marblewick {
namespace {

struct KeptChunks {
  std::mutex mutex;
  char* chunks[CACHED_CHUNKS] = {};
  std::size_t count = 0;
};

// Never destroyed: a pool may give its chunks back while the process exits.
KeptChunks& kept_chunks() {
  static KeptChunks* kept = new KeptChunks;
  return *kept;
}

}  // namespace

char* take_pool_chunk() {
  KeptChunks& kept = kept_chunks();
  {
    std::lock_guard<std::mutex> lock(kept.mutex);
    if (kept.count > 0) return kept.chunks[--kept.count];
  }
  return static_cast<char*>(std::malloc(POOL_CHUNK_BYTES));
}

void give_back_pool_chunks(const std::vector<char*>& chunks) {
  KeptChunks& kept = kept_chunks();
  std::size_t given = 0;
  {
    std::lock_guard<std::mutex> lock(kept.mutex);
    while (given < chunks.size() && kept.count < CACHED_CHUNKS) kept.chunks[kept.count++] = chunks[given++];
  }
  for (; given < chunks.size(); ++given) std::free(chunks[given]);
}

}  // namespace marblewick
