// collect_tags_outline: every match of the query's record patterns is read
// once, kept as a small record of byte ranges, then ordered, numbered by
// depth with one stack of open definitions, and cut.
#include "outline/tags_walk.h"

#include <algorithm>
#include <cstdint>

#include "base/utf8.h"
#include "outline/node_text.h"
#include "outline/signature.h"

namespace marblewick {
namespace {

struct TagsMatch {
  TSNode definition;
  std::uint32_t start;
  std::uint32_t end;
  std::uint32_t name_start;
  std::uint32_t name_end;
  std::uint32_t pattern;
  std::string_view kind;
  TSNode name;
};

}  // namespace

bool collect_tags_outline(const TagsOutline& tags, TSNode root, std::string_view source,
                          std::vector<SymbolRecord>& symbols) {
  QueryCursorHandle cursor(ts_query_cursor_new());
  ts_query_cursor_set_match_limit(cursor.get(), MAX_TAGS_MATCHES_IN_PROGRESS);
  ts_query_cursor_set_max_start_depth(cursor.get(), MAX_TAGS_START_DEPTH);
  ts_query_cursor_exec(cursor.get(), tags.query.get(), root);

  std::vector<TagsMatch> matches;
  TSQueryMatch match;
  while (ts_query_cursor_next_match(cursor.get(), &match)) {
    const TagsPattern& pattern = tags.patterns[match.pattern_index];
    if (!pattern.records) continue;
    const TSNode* definition = nullptr;
    const TSNode* name = nullptr;
    std::string_view kind;
    for (std::uint16_t i = 0; i < match.capture_count; ++i) {
      const TSQueryCapture& capture = match.captures[i];
      if (capture.index == tags.name_capture) {
        if (name == nullptr) name = &capture.node;
      } else if (definition == nullptr && !tags.kinds[capture.index].empty()) {
        definition = &capture.node;
        kind = tags.kinds[capture.index];
      }
    }
    if (definition == nullptr || name == nullptr) continue;
    if (!tags_predicates_hold(pattern.predicates, match, source)) continue;
    matches.push_back(TagsMatch{*definition, ts_node_start_byte(*definition), ts_node_end_byte(*definition),
                                ts_node_start_byte(*name), ts_node_end_byte(*name), match.pattern_index, kind,
                                *name});
  }
  if (ts_query_cursor_did_exceed_match_limit(cursor.get())) return false;

  // One record per name node: the first pattern of the query wins.
  std::sort(matches.begin(), matches.end(), [](const TagsMatch& a, const TagsMatch& b) {
    if (a.name_start != b.name_start) return a.name_start < b.name_start;
    if (a.name_end != b.name_end) return a.name_end < b.name_end;
    return a.pattern < b.pattern;
  });
  matches.erase(std::unique(matches.begin(), matches.end(),
                            [](const TagsMatch& a, const TagsMatch& b) {
                              return a.name_start == b.name_start && a.name_end == b.name_end;
                            }),
                matches.end());
  // Source order; a definition before those it contains.
  std::sort(matches.begin(), matches.end(), [](const TagsMatch& a, const TagsMatch& b) {
    if (a.start != b.start) return a.start < b.start;
    if (a.end != b.end) return a.end > b.end;
    if (a.pattern != b.pattern) return a.pattern < b.pattern;
    return a.name_start < b.name_start;
  });

  // The definitions that contain the current one, outermost first.
  std::vector<const TagsMatch*> open;
  for (const TagsMatch& current : matches) {
    if (symbols.size() >= MAX_OUTLINE_SYMBOLS) break;
    while (!open.empty() && !(open.back()->start <= current.start && current.end <= open.back()->end)) {
      open.pop_back();
    }
    // Those of the same range as this one (at the top of the stack) do not
    // contain it.
    std::size_t same_range = 0;
    while (same_range < open.size() && open[open.size() - 1 - same_range]->start == current.start &&
           open[open.size() - 1 - same_range]->end == current.end) {
      ++same_range;
    }
    std::size_t depth = open.size() - same_range;
    open.push_back(&current);
    if (depth > 1) continue;

    SymbolRecord record;
    record.depth = static_cast<unsigned>(depth);
    record.line = std::uint64_t{ts_node_start_point(current.definition).row} + 1;
    record.end_line = std::uint64_t{ts_node_end_point(current.definition).row} + 1;
    record.kind = current.kind;
    std::string_view name = node_text(current.name, source);
    if (is_valid_utf8(name)) record.name = std::string(name);
    record.signature = symbol_signature(node_text(current.definition, source));
    symbols.push_back(std::move(record));
  }
  return true;
}

}  // namespace marblewick
