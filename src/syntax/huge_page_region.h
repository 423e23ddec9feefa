// Regions of memory taken straight from the system, each one huge page where
// the system has them to give, for the pools of large parses.
//
// A large parse touches tens of megabytes that were never touched before, and
// in pages of the ordinary size each one costs a fault of its own: some 16,000
// for a 1.5 MB source. A region is mapped aligned to its size and marked for
// huge pages before anything touches it, so its first touch brings in the
// whole region at once. Where the system has no huge pages, or will not give
// one, the region is still good memory in ordinary pages.
#pragma once

#include <cstddef>

namespace marblewick {

// The size of a region, which is also its alignment: one huge page.
inline constexpr std::size_t HUGE_PAGE_REGION_BYTES = 2 * 1024 * 1024;

// A fresh, zeroed region; null when the system refuses one.
char* map_huge_page_region();
// Gives a region of map_huge_page_region() back to the system.
void unmap_huge_page_region(char* region);

}  // namespace marblewick
