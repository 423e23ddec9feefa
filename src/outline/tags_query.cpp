// compile_tags_outline.
#include "outline/tags_query.h"

#include <utility>

#include "base/error_texts.h"
#include "syntax/parser_memory.h"

namespace marblewick {
namespace {

constexpr std::string_view DEFINITION_PREFIX = "definition.";

// 1-based row and byte column of an offset into the query's text.
std::pair<std::size_t, std::size_t> row_and_column(std::string_view source, std::size_t offset) {
  std::size_t row = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset && i < source.size(); ++i) {
    if (source[i] == '\n') {
      ++row;
      line_start = i + 1;
    }
  }
  return {row, offset - line_start + 1};
}

// The name at an offset, for the errors that point at one.
std::string word_at(std::string_view source, std::size_t offset) {
  std::size_t end = offset;
  while (end < source.size()) {
    char c = source[end];
    bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                c == '.' || c == '-' || c == '?' || c == '!';
    if (!word) break;
    ++end;
  }
  return std::string(source.substr(offset, end - offset));
}

std::string compile_error_reason(TSQueryError error, std::string_view source, std::size_t offset) {
  switch (error) {
    case TSQueryErrorSyntax:
      return "syntax error";
    case TSQueryErrorNodeType:
      return "unknown node type \"" + word_at(source, offset) + "\"";
    case TSQueryErrorField:
      return "unknown field \"" + word_at(source, offset) + "\"";
    case TSQueryErrorCapture:
      return "unknown capture \"" + word_at(source, offset) + "\"";
    case TSQueryErrorStructure:
      return "a pattern this grammar's trees cannot have";
    case TSQueryErrorLanguage:
      return "the grammar cannot run queries";
    case TSQueryErrorNone:
      break;
  }
  return "error";
}

std::string quoted_origin(std::string_view origin) { return "tags query \"" + std::string(origin) + "\""; }

}  // namespace

Expected<std::unique_ptr<TagsOutline>> compile_tags_outline(const TSLanguage* grammar,
                                                            std::string_view source,
                                                            std::string_view origin) {
  if (source.size() > UINT32_MAX) {
    return ErrorText(ErrorKind::registration, quoted_origin(origin) + " is too large");
  }
  // The query lives as long as the registration: until the process ends. Its
  // disabling below may reallocate it, and a failure deletes it, so all of
  // that happens in the same scope (declared first, it ends last).
  LastingParserAllocations lasting;
  auto outline = std::make_unique<TagsOutline>();
  {
    std::uint32_t error_offset = 0;
    TSQueryError error = TSQueryErrorNone;
    outline->query.reset(ts_query_new(grammar, source.data(), static_cast<std::uint32_t>(source.size()),
                                      &error_offset, &error));
    if (parser_memory_exhausted()) {
      outline->query.reset();
      return out_of_memory_error();
    }
    if (!outline->query) {
      auto [row, column] = row_and_column(source, error_offset);
      return ErrorText(ErrorKind::registration, quoted_origin(origin) + " does not compile at row " +
                                                    std::to_string(row) + ", column " +
                                                    std::to_string(column) + ": " +
                                                    compile_error_reason(error, source, error_offset));
    }
  }
  TSQuery* query = outline->query.get();

  std::uint32_t capture_count = ts_query_capture_count(query);
  outline->kinds.resize(capture_count);
  for (std::uint32_t id = 0; id < capture_count; ++id) {
    std::uint32_t length = 0;
    const char* text = ts_query_capture_name_for_id(query, id, &length);
    std::string_view name(text, length);
    if (name == "name") outline->name_capture = id;
    if (name.starts_with(DEFINITION_PREFIX) && name.size() > DEFINITION_PREFIX.size()) {
      outline->kinds[id] = std::string(name.substr(DEFINITION_PREFIX.size()));
    }
  }

  std::uint32_t pattern_count = ts_query_pattern_count(query);
  outline->patterns.resize(pattern_count);
  for (std::uint32_t pattern = 0; pattern < pattern_count; ++pattern) {
    auto in_pattern = [&](std::uint32_t id) {
      return ts_query_capture_quantifier_for_id(query, pattern, id) != TSQuantifierZero;
    };
    bool has_definition = false;
    for (std::uint32_t id = 0; id < capture_count; ++id) {
      if (!outline->kinds[id].empty() && in_pattern(id)) has_definition = true;
    }
    bool has_name = outline->name_capture != UINT32_MAX && in_pattern(outline->name_capture);
    TagsPattern& entry = outline->patterns[pattern];
    entry.records = has_definition && has_name;
    if (!entry.records) {
      // References and documentation patterns never make records: they are
      // not run at all, and their predicates do not matter.
      ts_query_disable_pattern(query, pattern);
      continue;
    }
    Expected<std::vector<TagsPredicate>> predicates = read_tags_predicates(query, pattern);
    if (!predicates) {
      auto [row, column] = row_and_column(source, ts_query_start_byte_for_pattern(query, pattern));
      static_cast<void>(column);
      return ErrorText(ErrorKind::registration, quoted_origin(origin) + ", pattern at row " +
                                                    std::to_string(row) + ": " + predicates.error().message);
    }
    entry.predicates = std::move(predicates).value();
  }
  return outline;
}

}  // namespace marblewick
