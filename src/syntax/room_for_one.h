// Room for one more entry in one of the parse memory's own lists (a pool's
// chunks and regions, its large blocks), made without throwing: those lists
// grow inside the parsing library's allocator, where nothing may throw.
#pragma once

#include <new>
#include <vector>

namespace marblewick {

// Whether `list` can take one more entry without allocating, having grown it
// (doubling, from 16) if it had to; false when the system refuses the room.
template <typename Entry>
bool make_room_for_one(std::vector<Entry>& list) {
  if (list.size() < list.capacity()) return true;
  try {
    list.reserve(list.empty() ? 16 : list.size() * 2);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace marblewick
