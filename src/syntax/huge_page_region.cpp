// Huge-page regions: mapped with room to spare, trimmed to their alignment.
#include "syntax/huge_page_region.h"

#include <sys/mman.h>

#include <cstdint>

namespace marblewick {

char* map_huge_page_region() {
  // The system aligns a mapping only to an ordinary page: map twice the size
  // and give back what lies outside the aligned region.
  constexpr std::size_t span = 2 * HUGE_PAGE_REGION_BYTES;
  void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  auto start = reinterpret_cast<std::uintptr_t>(mapped);
  std::uintptr_t aligned = (start + HUGE_PAGE_REGION_BYTES - 1) & ~(HUGE_PAGE_REGION_BYTES - 1);
  std::uintptr_t end = start + span;
  if (aligned > start) munmap(mapped, aligned - start);
  if (aligned + HUGE_PAGE_REGION_BYTES < end) {
    munmap(reinterpret_cast<void*>(aligned + HUGE_PAGE_REGION_BYTES), end - aligned - HUGE_PAGE_REGION_BYTES);
  }
  auto* region = reinterpret_cast<char*>(aligned);
#ifdef MADV_HUGEPAGE
  // Only advice: a refusal leaves the region in ordinary pages.
  madvise(region, HUGE_PAGE_REGION_BYTES, MADV_HUGEPAGE);
#endif
  return region;
}

void unmap_huge_page_region(char* region) { munmap(region, HUGE_PAGE_REGION_BYTES); }

}  // namespace marblewick
