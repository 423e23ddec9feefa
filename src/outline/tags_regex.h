// TagsRegex: the regular expressions of a tags query's #match? predicates.
//
// Matched by a Pike virtual machine of our own, not std::regex: std::regex
// recurses once per character of the text, so a long node text (a 1 MB
// string or comment captured by a pattern) can overflow the stack and take
// the host down with it, and its backtracking can take exponential time. Here
// the search keeps one thread per program instruction and reads the text once,
// so it costs at most the text's length times the program's size, with no
// recursion over the text at all. It accepts the syntax the grammar packages'
// tags queries use, and registration refuses a pattern with anything else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/expected.h"

namespace marblewick {

class TagsRegex {
 public:
  // The compiled pattern, or why it cannot be: a syntax error, or syntax this
  // matcher does not have (back-references, look-around, flags, Unicode
  // classes). The text names the problem, not the pattern.
  static Expected<TagsRegex> compile(std::string_view pattern);

  // Whether the pattern matches anywhere in `text` (a search, as the
  // predicate means it, not a match of the whole text). `text` is UTF-8.
  bool search(std::string_view text) const;

  // The parts of the program; public only so that the compiler in the source
  // file can build them.
  struct Range {
    char32_t first;
    char32_t last;
  };
  struct CharClass {
    std::vector<Range> ranges;
    bool negated = false;
  };
  enum class Op : std::uint8_t { CHAR, SPLIT, JUMP, BEGIN, END, WORD_BOUNDARY, NOT_WORD_BOUNDARY, MATCH };
  struct Instruction {
    Op op;
    std::uint32_t x = 0;  // CHAR: class index; SPLIT, JUMP: target
    std::uint32_t y = 0;  // SPLIT: second target
  };

 private:
  std::vector<Instruction> program_;
  std::vector<CharClass> classes_;
  // Every match begins at the start of the text, so the search can end as
  // soon as no thread is left.
  bool anchored_ = false;
};

}  // namespace marblewick
