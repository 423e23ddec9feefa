// TagsRegex: a recursive-descent parser over the pattern (its nesting is
// bounded, so a hostile pattern cannot exhaust the stack either), Thompson's
// construction into a small program, and a Pike machine that runs it.
//
// The syntax: literals (UTF-8), ".", "^", "$", "\A", "\z", classes "[...]"
// with ranges, negation and the escapes below, groups "(...)" and "(?:...)",
// "|", "*", "+", "?", "{n}", "{n,}", "{n,m}" (at most 1000), each optionally
// lazy ("*?"), which a search that only asks whether there is a match does
// not tell apart. Escapes: \d \D \w \W \s \S \b \B \n \t \r \f \v \xHH
// \x{H...} and any escaped ASCII punctuation. "." matches any character but a
// line feed; "^" and "$" match only at the ends of the text; \d and \w are
// ASCII ([0-9] and [0-9A-Za-z_]), \s the Unicode white space characters.
#include "outline/tags_regex.h"

#include <memory>
#include <utility>

#include "base/utf8.h"

namespace marblewick {
namespace {

using Range = TagsRegex::Range;
using CharClass = TagsRegex::CharClass;
using Op = TagsRegex::Op;
using Instruction = TagsRegex::Instruction;

constexpr std::size_t MAX_NESTING = 64;
constexpr std::uint32_t MAX_REPEAT = 1000;
constexpr std::size_t MAX_PROGRAM = 20000;

const std::vector<Range> DIGIT = {{'0', '9'}};
const std::vector<Range> WORD = {{'0', '9'}, {'A', 'Z'}, {'_', '_'}, {'a', 'z'}};
const std::vector<Range> SPACE = {{0x09, 0x0D},     {0x20, 0x20},     {0x85, 0x85},     {0xA0, 0xA0},
                                  {0x1680, 0x1680}, {0x2000, 0x200A}, {0x2028, 0x2029}, {0x202F, 0x202F},
                                  {0x205F, 0x205F}, {0x3000, 0x3000}};

bool in_ranges(const std::vector<Range>& ranges, char32_t c) {
  for (const Range& range : ranges) {
    if (c >= range.first && c <= range.last) return true;
  }
  return false;
}

bool is_word(char32_t c) { return in_ranges(WORD, c); }

// The pattern as a tree, before it becomes a program.
struct Node {
  enum class Kind { EMPTY, CHAR, BEGIN, END, WORD_BOUNDARY, NOT_WORD_BOUNDARY, CONCAT, ALTERNATE, REPEAT };
  Kind kind = Kind::EMPTY;
  std::uint32_t char_class = 0;
  std::uint32_t min = 0;
  std::uint32_t max = 0;  // REPEAT: UNBOUNDED for none
  std::vector<std::unique_ptr<Node>> children;
};
constexpr std::uint32_t UNBOUNDED = UINT32_MAX;

class Parser {
 public:
  Parser(std::string_view pattern, std::vector<CharClass>& classes) : pattern_(pattern), classes_(classes) {}

  Expected<std::unique_ptr<Node>> parse() {
    std::unique_ptr<Node> node = alternation(0);
    if (!error_.empty()) return ErrorText(ErrorKind::registration, error_);
    if (position_ < pattern_.size()) return ErrorText(ErrorKind::registration, "unmatched \")\"");
    return node;
  }

 private:
  bool fail(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    return false;
  }
  bool at_end() const { return position_ >= pattern_.size(); }
  char peek() const { return pattern_[position_]; }

  // One UTF-8 character of the pattern.
  char32_t next_char() {
    auto lead = static_cast<unsigned char>(pattern_[position_]);
    std::size_t length = utf8_sequence_length(lead);
    if (position_ + length > pattern_.size()) length = 1;
    char32_t c =
        decode_utf8_scalar(reinterpret_cast<const unsigned char*>(pattern_.data() + position_), length);
    position_ += length;
    return c;
  }

  std::uint32_t add_class(std::vector<Range> ranges, bool negated) {
    classes_.push_back(CharClass{std::move(ranges), negated});
    return static_cast<std::uint32_t>(classes_.size() - 1);
  }

  std::unique_ptr<Node> leaf(Node::Kind kind, std::uint32_t char_class = 0) {
    auto node = std::make_unique<Node>();
    node->kind = kind;
    node->char_class = char_class;
    return node;
  }

  std::unique_ptr<Node> alternation(std::size_t depth) {
    if (depth > MAX_NESTING) {
      fail("groups nested more than 64 deep");
      return leaf(Node::Kind::EMPTY);
    }
    auto node = std::make_unique<Node>();
    node->kind = Node::Kind::ALTERNATE;
    node->children.push_back(concatenation(depth));
    while (error_.empty() && !at_end() && peek() == '|') {
      ++position_;
      node->children.push_back(concatenation(depth));
    }
    if (node->children.size() == 1) return std::move(node->children.front());
    return node;
  }

  std::unique_ptr<Node> concatenation(std::size_t depth) {
    auto node = std::make_unique<Node>();
    node->kind = Node::Kind::CONCAT;
    while (error_.empty() && !at_end() && peek() != '|' && peek() != ')') {
      std::unique_ptr<Node> item = atom(depth);
      if (!error_.empty()) break;
      item = quantified(std::move(item));
      node->children.push_back(std::move(item));
    }
    return node;
  }

  // Reads "{n}", "{n,}" or "{n,m}" after the "{"; false when it is not one.
  bool counted(std::uint32_t& min, std::uint32_t& max) {
    auto number = [&](std::uint32_t& value) {
      std::size_t start = position_;
      value = 0;
      while (!at_end() && peek() >= '0' && peek() <= '9') {
        value = value * 10 + static_cast<std::uint32_t>(peek() - '0');
        if (value > MAX_REPEAT) value = MAX_REPEAT + 1;
        ++position_;
      }
      return position_ > start;
    };
    if (!number(min)) return fail("\"{\" must begin a counted repetition such as {2} or {1,3}");
    max = min;
    if (!at_end() && peek() == ',') {
      ++position_;
      if (!number(max)) max = UNBOUNDED;
    }
    if (at_end() || peek() != '}') return fail("unclosed counted repetition");
    ++position_;
    if (min > MAX_REPEAT || (max != UNBOUNDED && max > MAX_REPEAT)) {
      return fail("a counted repetition above 1000");
    }
    if (max < min) return fail("a counted repetition whose maximum is below its minimum");
    return true;
  }

  std::unique_ptr<Node> quantified(std::unique_ptr<Node> item) {
    while (error_.empty() && !at_end()) {
      std::uint32_t min = 0;
      std::uint32_t max = 0;
      char c = peek();
      if (c == '*') {
        max = UNBOUNDED;
      } else if (c == '+') {
        min = 1;
        max = UNBOUNDED;
      } else if (c == '?') {
        max = 1;
      } else if (c == '{') {
        ++position_;
        if (!counted(min, max)) return item;
        --position_;
      } else {
        return item;
      }
      ++position_;
      if (item->kind == Node::Kind::BEGIN || item->kind == Node::Kind::END ||
          item->kind == Node::Kind::WORD_BOUNDARY || item->kind == Node::Kind::NOT_WORD_BOUNDARY) {
        fail("a repeated anchor");
        return item;
      }
      if (!at_end() && peek() == '?') ++position_;  // lazy: the same for a search
      if (!at_end() && (peek() == '*' || peek() == '+' || peek() == '?' || peek() == '{')) {
        fail("a repetition repeated");
        return item;
      }
      auto repeat = std::make_unique<Node>();
      repeat->kind = Node::Kind::REPEAT;
      repeat->min = min;
      repeat->max = max;
      repeat->children.push_back(std::move(item));
      item = std::move(repeat);
    }
    return item;
  }

  // "\x41" or "\x{1F600}" after the "\x".
  bool hex_escape(char32_t& value) {
    auto digit = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    value = 0;
    if (!at_end() && peek() == '{') {
      ++position_;
      std::size_t digits = 0;
      while (!at_end() && peek() != '}') {
        int d = digit(peek());
        if (d < 0 || ++digits > 6) return fail("a malformed \\x{...} escape");
        value = value * 16 + static_cast<char32_t>(d);
        ++position_;
      }
      if (at_end() || digits == 0) return fail("a malformed \\x{...} escape");
      ++position_;
    } else {
      for (int i = 0; i < 2; ++i) {
        int d = at_end() ? -1 : digit(peek());
        if (d < 0) return fail("a malformed \\x escape");
        value = value * 16 + static_cast<char32_t>(d);
        ++position_;
      }
    }
    if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return fail("an escape beyond Unicode");
    return true;
  }

  // The escape at a backslash inside a character class: the escaped character
  // `c` and its ranges. False with the error set.
  bool escape_in_class(char& c, std::vector<Range>& ranges, bool& negated) {
    ++position_;
    if (at_end()) {
      fail("a pattern ending in a backslash");
      return false;
    }
    c = peek();
    ++position_;
    return class_escape(c, ranges, negated);
  }

  // An escape after the backslash, as a set of ranges (negated or not); the
  // anchors are handled by the caller. False with the error set.
  bool class_escape(char c, std::vector<Range>& ranges, bool& negated) {
    negated = false;
    switch (c) {
      case 'd':
        ranges = DIGIT;
        return true;
      case 'D':
        ranges = DIGIT;
        negated = true;
        return true;
      case 'w':
        ranges = WORD;
        return true;
      case 'W':
        ranges = WORD;
        negated = true;
        return true;
      case 's':
        ranges = SPACE;
        return true;
      case 'S':
        ranges = SPACE;
        negated = true;
        return true;
      case 'n':
        ranges = {{'\n', '\n'}};
        return true;
      case 't':
        ranges = {{'\t', '\t'}};
        return true;
      case 'r':
        ranges = {{'\r', '\r'}};
        return true;
      case 'f':
        ranges = {{'\f', '\f'}};
        return true;
      case 'v':
        ranges = {{'\v', '\v'}};
        return true;
      case 'x': {
        char32_t value = 0;
        if (!hex_escape(value)) return false;
        ranges = {{value, value}};
        return true;
      }
      default:
        break;
    }
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80 && !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
      ranges = {{static_cast<char32_t>(byte), static_cast<char32_t>(byte)}};
      return true;
    }
    return fail(std::string("the escape \\") + c + ", which is not supported");
  }

  std::unique_ptr<Node> bracket() {
    std::vector<Range> ranges;
    bool negated = false;
    if (!at_end() && peek() == '^') {
      negated = true;
      ++position_;
    }
    bool first = true;
    while (true) {
      if (at_end()) {
        fail("unclosed character class");
        return leaf(Node::Kind::EMPTY);
      }
      if (peek() == ']' && !first) {
        ++position_;
        break;
      }
      first = false;
      if (peek() == '[' && position_ + 1 < pattern_.size() && pattern_[position_ + 1] == ':') {
        fail("a POSIX class [:...:], which is not supported");
        return leaf(Node::Kind::EMPTY);
      }
      char32_t low = 0;
      if (peek() == '\\') {
        char c = 0;
        std::vector<Range> escaped;
        bool escaped_negated = false;
        if (!escape_in_class(c, escaped, escaped_negated)) return leaf(Node::Kind::EMPTY);
        if (escaped_negated) {
          fail(std::string("\\") + c + " inside a character class, which is not supported");
          return leaf(Node::Kind::EMPTY);
        }
        if (escaped.size() != 1 || escaped[0].first != escaped[0].last) {
          ranges.insert(ranges.end(), escaped.begin(), escaped.end());
          continue;
        }
        low = escaped[0].first;
      } else {
        low = next_char();
      }
      char32_t high = low;
      if (position_ + 1 < pattern_.size() && peek() == '-' && pattern_[position_ + 1] != ']') {
        ++position_;
        if (peek() == '\\') {
          char c = 0;
          std::vector<Range> escaped;
          bool escaped_negated = false;
          if (!escape_in_class(c, escaped, escaped_negated)) return leaf(Node::Kind::EMPTY);
          if (escaped_negated || escaped.size() != 1 || escaped[0].first != escaped[0].last) {
            fail("a class escape as the end of a range");
            return leaf(Node::Kind::EMPTY);
          }
          high = escaped[0].first;
        } else {
          high = next_char();
        }
        if (high < low) {
          fail("a character range out of order");
          return leaf(Node::Kind::EMPTY);
        }
      }
      ranges.push_back({low, high});
    }
    return leaf(Node::Kind::CHAR, add_class(std::move(ranges), negated));
  }

  std::unique_ptr<Node> atom(std::size_t depth) {
    char c = peek();
    switch (c) {
      case '(': {
        ++position_;
        if (!at_end() && peek() == '?') {
          if (position_ + 1 < pattern_.size() && pattern_[position_ + 1] == ':') {
            position_ += 2;
          } else {
            fail("a group with (?, such as flags or look-around, which is not supported");
            return leaf(Node::Kind::EMPTY);
          }
        }
        std::unique_ptr<Node> inner = alternation(depth + 1);
        if (!error_.empty()) return inner;
        if (at_end() || peek() != ')') {
          fail("unclosed group");
          return inner;
        }
        ++position_;
        return inner;
      }
      case '[':
        ++position_;
        return bracket();
      case '.':
        ++position_;
        return leaf(Node::Kind::CHAR, add_class({{'\n', '\n'}}, true));
      case '^':
        ++position_;
        return leaf(Node::Kind::BEGIN);
      case '$':
        ++position_;
        return leaf(Node::Kind::END);
      case '*':
      case '+':
      case '?':
      case '{':
        fail(std::string("nothing to repeat before \"") + c + "\"");
        return leaf(Node::Kind::EMPTY);
      case '\\': {
        ++position_;
        if (at_end()) {
          fail("a pattern ending in a backslash");
          return leaf(Node::Kind::EMPTY);
        }
        char e = peek();
        ++position_;
        if (e == 'b') return leaf(Node::Kind::WORD_BOUNDARY);
        if (e == 'B') return leaf(Node::Kind::NOT_WORD_BOUNDARY);
        if (e == 'A') return leaf(Node::Kind::BEGIN);
        if (e == 'z') return leaf(Node::Kind::END);
        std::vector<Range> ranges;
        bool negated = false;
        if (!class_escape(e, ranges, negated)) return leaf(Node::Kind::EMPTY);
        return leaf(Node::Kind::CHAR, add_class(std::move(ranges), negated));
      }
      default: {
        char32_t literal = next_char();
        return leaf(Node::Kind::CHAR, add_class({{literal, literal}}, false));
      }
    }
  }

  std::string_view pattern_;
  std::vector<CharClass>& classes_;
  std::size_t position_ = 0;
  std::string error_;
};

class Emitter {
 public:
  explicit Emitter(std::vector<Instruction>& program) : program_(program) {}

  bool emit(const Node& node) {
    if (program_.size() > MAX_PROGRAM) return false;
    switch (node.kind) {
      case Node::Kind::EMPTY:
        return true;
      case Node::Kind::CHAR:
        add(Op::CHAR, node.char_class);
        return true;
      case Node::Kind::BEGIN:
        add(Op::BEGIN);
        return true;
      case Node::Kind::END:
        add(Op::END);
        return true;
      case Node::Kind::WORD_BOUNDARY:
        add(Op::WORD_BOUNDARY);
        return true;
      case Node::Kind::NOT_WORD_BOUNDARY:
        add(Op::NOT_WORD_BOUNDARY);
        return true;
      case Node::Kind::CONCAT:
        for (const auto& child : node.children) {
          if (!emit(*child)) return false;
        }
        return true;
      case Node::Kind::ALTERNATE: {
        // split L1, next; L1: a; jump end; next: split L2, next2; ...
        std::vector<std::size_t> jumps;
        for (std::size_t i = 0; i < node.children.size(); ++i) {
          std::size_t split = program_.size();
          bool last = i + 1 == node.children.size();
          if (!last) add(Op::SPLIT);
          if (!last) program_[split].x = here();
          if (!emit(*node.children[i])) return false;
          if (!last) {
            jumps.push_back(program_.size());
            add(Op::JUMP);
            program_[split].y = here();
          }
        }
        for (std::size_t jump : jumps) program_[jump].x = here();
        return true;
      }
      case Node::Kind::REPEAT: {
        const Node& body = *node.children.front();
        for (std::uint32_t i = 0; i < node.min; ++i) {
          if (!emit(body)) return false;
        }
        if (node.max == UNBOUNDED) {
          std::size_t split = program_.size();
          add(Op::SPLIT);
          program_[split].x = here();
          if (!emit(body)) return false;
          add(Op::JUMP, static_cast<std::uint32_t>(split));
          program_[split].y = here();
          return true;
        }
        std::vector<std::size_t> splits;
        for (std::uint32_t i = node.min; i < node.max; ++i) {
          splits.push_back(program_.size());
          add(Op::SPLIT);
          program_[splits.back()].x = here();
          if (!emit(body)) return false;
        }
        for (std::size_t split : splits) program_[split].y = here();
        return true;
      }
    }
    return false;
  }

 private:
  std::uint32_t here() const { return static_cast<std::uint32_t>(program_.size()); }
  void add(Op op, std::uint32_t x = 0) { program_.push_back(Instruction{op, x, 0}); }

  std::vector<Instruction>& program_;
};

// Whether every match must begin at the start of the text.
bool anchored_at_start(const Node& node) {
  switch (node.kind) {
    case Node::Kind::BEGIN:
      return true;
    case Node::Kind::CONCAT:
      for (const auto& child : node.children) {
        if (anchored_at_start(*child)) return true;
        // Only zero-width items may stand before the anchor.
        if (child->kind != Node::Kind::WORD_BOUNDARY && child->kind != Node::Kind::NOT_WORD_BOUNDARY)
          return false;
      }
      return false;
    case Node::Kind::ALTERNATE:
      for (const auto& child : node.children) {
        if (!anchored_at_start(*child)) return false;
      }
      return true;
    default:
      return false;
  }
}

// A set of program positions with constant-time insert, test and clear.
class ThreadSet {
 public:
  explicit ThreadSet(std::size_t size) : dense_(size), sparse_(size) {}
  bool contains(std::uint32_t pc) const { return sparse_[pc] < count_ && dense_[sparse_[pc]] == pc; }
  void insert(std::uint32_t pc) {
    sparse_[pc] = static_cast<std::uint32_t>(count_);
    dense_[count_++] = pc;
  }
  void clear() { count_ = 0; }
  std::size_t size() const { return count_; }
  std::uint32_t operator[](std::size_t i) const { return dense_[i]; }

 private:
  std::vector<std::uint32_t> dense_;
  std::vector<std::uint32_t> sparse_;
  std::size_t count_ = 0;
};

// A character of the text: its scalar value and length; invalid bytes are
// U+FFFD, one byte each.
struct Decoded {
  char32_t c;
  std::size_t length;
};

Decoded decode_at(std::string_view text, std::size_t at) {
  auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = utf8_sequence_length(lead);
  if (at + length > text.size() || !is_valid_utf8(text.substr(at, length))) return {0xFFFD, 1};
  return {decode_utf8_scalar(reinterpret_cast<const unsigned char*>(text.data() + at), length), length};
}

}  // namespace

Expected<TagsRegex> TagsRegex::compile(std::string_view pattern) {
  TagsRegex regex;
  Parser parser(pattern, regex.classes_);
  Expected<std::unique_ptr<Node>> tree = parser.parse();
  if (!tree) return std::move(tree).error();
  Emitter emitter(regex.program_);
  if (!emitter.emit(*tree.value()) || regex.program_.size() > MAX_PROGRAM) {
    return ErrorText(ErrorKind::registration, "a pattern too large once its repetitions are counted out");
  }
  regex.program_.push_back(Instruction{Op::MATCH, 0, 0});
  regex.anchored_ = anchored_at_start(*tree.value());
  return regex;
}

bool TagsRegex::search(std::string_view text) const {
  ThreadSet current(program_.size());
  ThreadSet next(program_.size());
  std::vector<std::uint32_t> stack;
  // The character before `at` (none at the start) and at it (none at the end).
  bool have_previous = false;
  char32_t previous = 0;

  // Adds `pc` and everything reachable from it without reading a character;
  // true once MATCH is reachable, which settles the search.
  auto add = [&](ThreadSet& set, std::uint32_t start, std::size_t at, bool have_here, char32_t here) {
    stack.clear();
    stack.push_back(start);
    while (!stack.empty()) {
      std::uint32_t pc = stack.back();
      stack.pop_back();
      if (set.contains(pc)) continue;
      set.insert(pc);
      const Instruction& instruction = program_[pc];
      bool boundary = (have_previous && is_word(previous)) != (have_here && is_word(here));
      switch (instruction.op) {
        case Op::MATCH:
          return true;
        case Op::JUMP:
          stack.push_back(instruction.x);
          break;
        case Op::SPLIT:
          stack.push_back(instruction.y);
          stack.push_back(instruction.x);
          break;
        case Op::BEGIN:
          if (at == 0) stack.push_back(pc + 1);
          break;
        case Op::END:
          if (at == text.size()) stack.push_back(pc + 1);
          break;
        case Op::WORD_BOUNDARY:
          if (boundary) stack.push_back(pc + 1);
          break;
        case Op::NOT_WORD_BOUNDARY:
          if (!boundary) stack.push_back(pc + 1);
          break;
        case Op::CHAR:
          break;
      }
    }
    return false;
  };

  std::size_t at = 0;
  Decoded here = text.empty() ? Decoded{0, 0} : decode_at(text, 0);
  if (add(current, 0, 0, !text.empty(), here.c)) return true;
  while (at < text.size()) {
    std::size_t after = at + here.length;
    Decoded following = after < text.size() ? decode_at(text, after) : Decoded{0, 0};
    bool have_following = after < text.size();
    previous = here.c;
    have_previous = true;
    next.clear();
    for (std::size_t i = 0; i < current.size(); ++i) {
      const Instruction& instruction = program_[current[i]];
      if (instruction.op != Op::CHAR) continue;
      const CharClass& char_class = classes_[instruction.x];
      if (in_ranges(char_class.ranges, here.c) != char_class.negated) {
        if (add(next, current[i] + 1, after, have_following, following.c)) return true;
      }
    }
    if (!anchored_ && add(next, 0, after, have_following, following.c)) return true;
    std::swap(current, next);
    if (current.size() == 0) return false;
    at = after;
    here = following;
  }
  return false;
}

}  // namespace marblewick
