// node_text: the source text a syntax node spans.
#pragma once

#include <cstdint>
#include <string_view>

#include <tree_sitter/api.h>

#include "base/internal_failure.h"

namespace marblewick {

// Every node of a tree lies within the text it was parsed from.
inline std::string_view node_text(TSNode node, std::string_view source) {
  std::uint32_t start = ts_node_start_byte(node);
  std::uint32_t end = ts_node_end_byte(node);
  check_invariant(start <= end && end <= source.size(), "syntax node outside its source text");
  return source.substr(start, end - start);
}

}  // namespace marblewick
