// The outline walker: two levels at most, children visited with a cursor in
// source order, records appended in pre-order.
#include "outline/outline_walk.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "base/utf8.h"
#include "outline/node_text.h"
#include "outline/outline_rules.h"
#include "outline/signature.h"
#include "syntax/ts_handles.h"

namespace marblewick {
namespace {

TSNode field_child(TSNode node, const char* field) {
  return ts_node_child_by_field_name(node, field, static_cast<std::uint32_t>(std::strlen(field)));
}

// Exported and decorated declarations are described by the declaration
// itself: its kind, its first line ("def"/"class"/"function", not a decorator
// or "export") and its line range.
TSNode declaration_of(TSNode child) {
  const char* kind = ts_node_type(child);
  const char* wrapped_field = nullptr;
  if (std::strcmp(kind, "export_statement") == 0) {
    wrapped_field = "declaration";
  } else if (std::strcmp(kind, "decorated_definition") == 0) {
    wrapped_field = "definition";
  }
  if (wrapped_field != nullptr) {
    TSNode inner = field_child(child, wrapped_field);
    if (!ts_node_is_null(inner)) return inner;
  }
  return child;
}

// The "name" field, else the "type" field: an impl block has no name and is
// known by the type it implements, generic arguments included.
std::string declaration_name(TSNode declaration, std::string_view source) {
  TSNode name = field_child(declaration, "name");
  if (ts_node_is_null(name)) name = field_child(declaration, "type");
  if (ts_node_is_null(name)) return std::string();
  std::string_view text = node_text(name, source);
  if (!is_valid_utf8(text)) return std::string();
  return std::string(text);
}

SymbolRecord symbol_record(TSNode declaration, const OutlineRule& rule, std::string_view source,
                           unsigned depth) {
  SymbolRecord record;
  record.depth = depth;
  record.line = std::uint64_t{ts_node_start_point(declaration).row} + 1;
  record.end_line = std::uint64_t{ts_node_end_point(declaration).row} + 1;
  record.kind = rule.symbol_kind;
  record.name = declaration_name(declaration, source);
  record.signature = symbol_signature(node_text(declaration, source));
  return record;
}

// Whether a row's depth rule lets it apply at depth 0 or 1.
bool applies_at(RuleDepth rule_depth, unsigned depth) {
  switch (rule_depth) {
    case RuleDepth::ANY:
      return true;
    case RuleDepth::TOP_ONLY:
      return depth == 0;
    case RuleDepth::MEMBER_ONLY:
      return depth == 1;
  }
  return false;
}

// The row for a node kind at a depth, or null when none applies.
const OutlineRule* find_outline_rule(std::span<const OutlineRule> rules, std::string_view node_kind,
                                     unsigned depth) {
  for (const OutlineRule& rule : rules) {
    if (rule.node_kind == node_kind && applies_at(rule.depth, depth)) return &rule;
  }
  return nullptr;
}

}  // namespace

void collect_outline(TSNode node, std::string_view source, std::span<const OutlineRule> rules, unsigned depth,
                     std::vector<SymbolRecord>& symbols) {
  std::uint32_t child_count = ts_node_child_count(node);
  if (child_count == 0) return;

  TreeCursor cursor(node);
  if (!cursor.goto_first_child()) return;
  for (std::uint32_t visited = 0; visited < child_count; ++visited) {
    if (visited > 0 && !cursor.goto_next_sibling()) break;
    // Tested before every child at both depths, so a full list ends the whole
    // walk: a container that is the last record to fit gets no members.
    if (symbols.size() >= MAX_OUTLINE_SYMBOLS) return;

    TSNode declaration = declaration_of(cursor.current_node());
    const OutlineRule* rule = find_outline_rule(rules, ts_node_type(declaration), depth);
    if (rule == nullptr) continue;
    symbols.push_back(symbol_record(declaration, *rule, source, depth));

    if (depth == 0 && !rule->body_kind.empty()) {
      TSNode body = field_child(declaration, "body");
      if (!ts_node_is_null(body) && rule->body_kind == ts_node_type(body)) {
        collect_outline(body, source, rules, 1, symbols);
      }
    }
  }
}

}  // namespace marblewick
