// Kernel host: heap blocks kept for reuse. Memory the host has finished with
// (a pool block or request out of the quarantine, checked for writes after its
// free; a control request's system buffer) serves the next allocation of the
// same size on the same thread instead of going back to the C library, whose
// bins cost more than the relay of a record itself. Under ASan every block goes
// back at once, so its own quarantine and reports see each use after a free.
#include <cstdlib>
#include <vector>

#include "internal.h"

namespace khost {
namespace {

constexpr size_t kKept = 16;
constexpr size_t kLargestKept = size_t(256) << 10;

struct Kept {
  void* block;
  size_t bytes;
};

thread_local bool t_cacheAlive = false;  // trivially destroyed: readable while the cache goes

struct Cache {
  std::vector<Kept> blocks;
  Cache() { t_cacheAlive = true; }
  ~Cache() {
    t_cacheAlive = false;
    for (const Kept& kept : blocks) std::free(kept.block);
  }
};
thread_local Cache t_cache;

}  // namespace

void* TakeRecycled(size_t bytes) {
  if (!kRecycleMemory || bytes > kLargestKept) return nullptr;
  Cache& cache = t_cache;
  if (!t_cacheAlive) return nullptr;
  for (size_t i = cache.blocks.size(); i-- > 0;) {
    if (cache.blocks[i].bytes != bytes) continue;
    void* block = cache.blocks[i].block;
    cache.blocks[i] = cache.blocks.back();  // the order only decides which block a full cache lets go
    cache.blocks.pop_back();
    return block;
  }
  return nullptr;
}

void Recycle(void* block, size_t bytes) {
  if (!block) return;
  if (!kRecycleMemory || bytes > kLargestKept || !t_cacheAlive) {
    std::free(block);
    return;
  }
  Cache& cache = t_cache;
  if (cache.blocks.size() == kKept) {
    std::free(cache.blocks.front().block);
    cache.blocks.erase(cache.blocks.begin());
  }
  cache.blocks.push_back({block, bytes});
}

void ReleaseToHeap(void* memory, size_t) { std::free(memory); }

}  // namespace khost
