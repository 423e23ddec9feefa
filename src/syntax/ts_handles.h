// Owners of the parsing library's objects, so that every parser, tree and
// cursor is released on every path out of a command, early returns and
// internal failures included.
#pragma once

#include <memory>

#include <tree_sitter/api.h>

namespace marblewick {

struct ParserDeleter {
  void operator()(TSParser* parser) const noexcept { ts_parser_delete(parser); }
};
struct TreeDeleter {
  void operator()(TSTree* tree) const noexcept { ts_tree_delete(tree); }
};

struct QueryDeleter {
  void operator()(TSQuery* query) const noexcept { ts_query_delete(query); }
};
struct QueryCursorDeleter {
  void operator()(TSQueryCursor* cursor) const noexcept { ts_query_cursor_delete(cursor); }
};

using ParserHandle = std::unique_ptr<TSParser, ParserDeleter>;
using TreeHandle = std::unique_ptr<TSTree, TreeDeleter>;
using QueryHandle = std::unique_ptr<TSQuery, QueryDeleter>;
using QueryCursorHandle = std::unique_ptr<TSQueryCursor, QueryCursorDeleter>;

// A cursor over the children of one node. Cursors hold heap memory of their
// own and cannot be copied safely, so this owner is neither copyable nor movable.
class TreeCursor {
 public:
  explicit TreeCursor(TSNode node) : cursor_(ts_tree_cursor_new(node)) {}
  TreeCursor(const TreeCursor&) = delete;
  TreeCursor& operator=(const TreeCursor&) = delete;
  ~TreeCursor() { ts_tree_cursor_delete(&cursor_); }

  void reset(TSNode node) { ts_tree_cursor_reset(&cursor_, node); }
  bool goto_first_child() { return ts_tree_cursor_goto_first_child(&cursor_); }
  bool goto_next_sibling() { return ts_tree_cursor_goto_next_sibling(&cursor_); }
  TSNode current_node() const { return ts_tree_cursor_current_node(&cursor_); }

 private:
  TSTreeCursor cursor_;
};

}  // namespace marblewick
