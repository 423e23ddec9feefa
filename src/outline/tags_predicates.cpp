// read_tags_predicates and tags_predicates_hold.
#include "outline/tags_predicates.h"

#include <algorithm>
#include <utility>

#include "base/utf8.h"

namespace marblewick {
namespace {

std::string_view string_value(const TSQuery* query, std::uint32_t id) {
  std::uint32_t length = 0;
  const char* value = ts_query_string_value_for_id(query, id, &length);
  return std::string_view(value, length);
}

ErrorText predicate_error(std::string_view name, std::string_view why) {
  return ErrorText(ErrorKind::registration, "#" + std::string(name) + " " + std::string(why));
}

std::string_view node_text(TSNode node, std::string_view source) {
  std::uint32_t start = ts_node_start_byte(node);
  std::uint32_t end =
      std::min<std::uint32_t>(ts_node_end_byte(node), static_cast<std::uint32_t>(source.size()));
  return start <= end ? source.substr(start, end - start) : std::string_view();
}

// The nodes a match holds for a capture, in capture order.
template <typename Visit>
void for_each_node(const TSQueryMatch& match, std::uint32_t capture, Visit visit) {
  for (std::uint16_t i = 0; i < match.capture_count; ++i) {
    if (match.captures[i].index == capture && !visit(match.captures[i].node)) return;
  }
}

bool regex_search(const TagsRegex& regex, std::string_view text) {
  if (is_valid_utf8(text)) return regex.search(text);
  return regex.search(utf8_lossy(text));
}

bool node_passes(const TagsPredicate& predicate, std::string_view text) {
  switch (predicate.test) {
    case TagsPredicate::Test::EQUAL:
      return (text == predicate.text) == predicate.positive;
    case TagsPredicate::Test::MATCH:
      return regex_search(*predicate.regex, text) == predicate.positive;
    case TagsPredicate::Test::ANY_OF:
      return (std::find(predicate.values.begin(), predicate.values.end(), text) != predicate.values.end()) ==
             predicate.positive;
  }
  return false;
}

bool predicate_holds(const TagsPredicate& predicate, const TSQueryMatch& match, std::string_view source) {
  if (predicate.other_capture) {
    // Two captures: their nodes compared pairwise, as far as both go.
    std::vector<std::string_view> left;
    std::vector<std::string_view> right;
    for_each_node(match, predicate.capture, [&](TSNode node) {
      left.push_back(node_text(node, source));
      return true;
    });
    for_each_node(match, *predicate.other_capture, [&](TSNode node) {
      right.push_back(node_text(node, source));
      return true;
    });
    std::size_t pairs = std::min(left.size(), right.size());
    for (std::size_t i = 0; i < pairs; ++i) {
      bool passes = (left[i] == right[i]) == predicate.positive;
      if (passes && !predicate.every_node) return true;
      if (!passes && predicate.every_node) return false;
    }
    return predicate.every_node || pairs == 0;
  }
  bool any_node = false;
  bool any_passed = false;
  bool all_passed = true;
  for_each_node(match, predicate.capture, [&](TSNode node) {
    any_node = true;
    bool passes = node_passes(predicate, node_text(node, source));
    any_passed = any_passed || passes;
    all_passed = all_passed && passes;
    return predicate.every_node ? all_passed : !any_passed;
  });
  if (predicate.every_node) return all_passed;
  return any_passed || !any_node;
}

}  // namespace

Expected<std::vector<TagsPredicate>> read_tags_predicates(const TSQuery* query, std::uint32_t pattern) {
  std::uint32_t step_count = 0;
  const TSQueryPredicateStep* steps = ts_query_predicates_for_pattern(query, pattern, &step_count);
  std::vector<TagsPredicate> predicates;
  std::uint32_t i = 0;
  while (i < step_count) {
    std::uint32_t end = i;
    while (end < step_count && steps[end].type != TSQueryPredicateStepTypeDone) ++end;
    if (steps[i].type != TSQueryPredicateStepTypeString) {
      return ErrorText(ErrorKind::registration, "a predicate must begin with its name");
    }
    std::string_view name = string_value(query, steps[i].value_id);
    const TSQueryPredicateStep* args = steps + i + 1;
    std::uint32_t arg_count = end - i - 1;
    i = end + 1;
    if (!name.empty() && name.back() == '!') continue;

    TagsPredicate predicate;
    std::string_view base = name;
    if (base == "any-of?" || base == "not-any-of?") {
      predicate.test = TagsPredicate::Test::ANY_OF;
      predicate.positive = base == "any-of?";
    } else {
      if (base.starts_with("any-")) {
        predicate.every_node = false;
        base.remove_prefix(4);
      }
      if (base.starts_with("not-")) {
        predicate.positive = false;
        base.remove_prefix(4);
      }
      if (base == "eq?") {
        predicate.test = TagsPredicate::Test::EQUAL;
      } else if (base == "match?") {
        predicate.test = TagsPredicate::Test::MATCH;
      } else {
        return predicate_error(name, "is not a predicate outlines evaluate");
      }
    }
    if (arg_count < 2 || args[0].type != TSQueryPredicateStepTypeCapture) {
      return predicate_error(name, "needs a capture and then its operands");
    }
    predicate.capture = args[0].value_id;
    if (predicate.test == TagsPredicate::Test::ANY_OF) {
      for (std::uint32_t a = 1; a < arg_count; ++a) {
        if (args[a].type != TSQueryPredicateStepTypeString)
          return predicate_error(name, "takes strings after its capture");
        predicate.values.emplace_back(string_value(query, args[a].value_id));
      }
    } else if (arg_count != 2) {
      return predicate_error(name, "takes exactly two arguments");
    } else if (predicate.test == TagsPredicate::Test::EQUAL) {
      if (args[1].type == TSQueryPredicateStepTypeCapture) {
        predicate.other_capture = args[1].value_id;
      } else {
        predicate.text = std::string(string_value(query, args[1].value_id));
      }
    } else {
      if (args[1].type != TSQueryPredicateStepTypeString)
        return predicate_error(name, "takes a regular expression as a string");
      std::string_view pattern_text = string_value(query, args[1].value_id);
      Expected<TagsRegex> regex = TagsRegex::compile(pattern_text);
      if (!regex) {
        return predicate_error(name, "cannot use the regular expression \"" + std::string(pattern_text) +
                                         "\": " + regex.error().message);
      }
      predicate.regex.emplace(std::move(regex).value());
    }
    predicates.push_back(std::move(predicate));
  }
  return predicates;
}

bool tags_predicates_hold(const std::vector<TagsPredicate>& predicates, const TSQueryMatch& match,
                          std::string_view source) {
  for (const TagsPredicate& predicate : predicates) {
    if (!predicate_holds(predicate, match, source)) return false;
  }
  return true;
}

}  // namespace marblewick
