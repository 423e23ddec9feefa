// append_joined_path: the one rule by which "scan" joins a folder and a path
// below it, for the files it opens and for the walk's own bookkeeping.
#pragma once

#include <string>
#include <string_view>

namespace marblewick {

// Appends `head` "/" `tail`, with no "/" added when `head` is empty or already
// ends with one; a `tail` that starts with "/" stands alone.
inline void append_joined_path(std::string& out, std::string_view head, std::string_view tail) {
  if (!tail.empty() && tail.front() == '/') {
    out.append(tail);
    return;
  }
  out.append(head);
  if (!head.empty() && head.back() != '/') out.push_back('/');
  out.append(tail);
}

}  // namespace marblewick
