// TagsOutline: a registered language's tags query, compiled once at
// registration and then shared, read-only, by every call on every thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

#include "base/expected.h"
#include "outline/tags_predicates.h"
#include "syntax/grammar_registry.h"
#include "syntax/ts_handles.h"

namespace marblewick {

struct TagsPattern {
  // Whether its matches are records: it has a @definition.<kind> capture and
  // a @name capture. The query's other patterns are disabled.
  bool records = false;
  std::vector<TagsPredicate> predicates;
};

struct TagsOutline {
  QueryHandle query;
  std::uint32_t name_capture = UINT32_MAX;
  // By capture id: the kind a @definition.<kind> capture gives, else empty.
  std::vector<std::string> kinds;
  // By pattern index.
  std::vector<TagsPattern> patterns;
};

// The query of `source` (read from `origin`, which error texts name) for a
// grammar. Errors: where it does not compile and why ("tags query "P" does
// not compile at row R, column C: ..."), or which predicate of which pattern
// cannot be evaluated ("tags query "P", pattern at row R: ..."), or "out of
// memory". The query's memory is kept until the process ends if the caller
// keeps the object, which it does once the language is registered.
Expected<std::unique_ptr<TagsOutline>> compile_tags_outline(const TSLanguage* grammar,
                                                            std::string_view source, std::string_view origin);

}  // namespace marblewick
