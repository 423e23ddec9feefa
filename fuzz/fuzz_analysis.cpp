// "syntax-check", "outline" and "analyse" on arbitrary content. The input's first byte
// picks the language and the command, the rest is the "content" (UTF-8 only,
// as a str gives). Every answer must be a compact success object whose
// positions lie inside the text and whose lists keep their caps, and the same
// input must give the same answer twice; the one failure allowed is the work
// ceiling's, for a text whose parse outgrows it (short units repeated).
//
// The two runs differ in one thing: the first parses with the module's own
// allocator hooks (the per-parse pool), the second with the parsing library's
// plain allocator. The pool serves small blocks from large chunks, where
// AddressSanitizer cannot see one block overrun the next; the plain run lets it
// watch every block of the runtime, and comparing the answers checks the pool.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

#include "fuzz_support.h"
#include "module/dispatch.h"
#include "syntax/language.h"
#include "syntax/parse.h"
#include "syntax/parser_memory.h"

// The parsing library's current allocator (its own alloc.h is not public).
extern "C" {
extern void* (*ts_current_malloc)(std::size_t);
extern void* (*ts_current_calloc)(std::size_t, std::size_t);
extern void* (*ts_current_realloc)(void*, std::size_t);
extern void (*ts_current_free)(void*);
}

using namespace marblewick;

namespace {

constexpr std::string_view SYMBOL_KINDS[] = {"class", "function", "method", "interface", "enum", "type",
                                             "mod",   "trait",    "struct", "impl",      "fn"};
constexpr std::uint64_t MAX_ERRORS = 20;
constexpr std::uint64_t MAX_SYMBOLS = 200;
constexpr std::size_t MAX_QUOTED_CHARS = 120;

struct AllocatorHooks {
  void* (*malloc)(std::size_t);
  void* (*calloc)(std::size_t, std::size_t);
  void* (*realloc)(void*, std::size_t);
  void (*free)(void*);
};

// The module installs its hooks at its first parse; this makes one and keeps them.
AllocatorHooks module_hooks() {
  Expected<std::string> warm_up = execute_command("syntax-check", R"({"content":"","language":"json"})");
  FUZZ_PROPERTY(warm_up.has_value());
  return {ts_current_malloc, ts_current_calloc, ts_current_realloc, ts_current_free};
}

std::string run_with_plain_allocator(std::string_view command, std::string_view payload,
                                     const AllocatorHooks& hooks) {
  // Switching is safe only while no block of either allocator is out.
  FUZZ_PROPERTY(live_parser_blocks() == 0);
  ts_set_allocator(nullptr, nullptr, nullptr, nullptr);
  Expected<std::string> result = execute_command(command, payload);
  ts_set_allocator(hooks.malloc, hooks.calloc, hooks.realloc, hooks.free);
  FUZZ_PROPERTY(result.has_value());
  return std::move(result).value();
}

// The content's lines as the results count them: split at LF only, a CR
// staying part of its line.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (;;) {
    std::size_t feed = text.find('\n', start);
    if (feed == std::string_view::npos) break;
    lines.push_back(text.substr(start, feed - start));
    start = feed + 1;
  }
  lines.push_back(text.substr(start));
  return lines;
}

std::uint64_t count_member(const JsonValue& object, std::string_view key) {
  const JsonValue* member = object.field(key);
  FUZZ_PROPERTY(member != nullptr);
  const std::uint64_t* count = std::get_if<std::uint64_t>(&member->storage());
  FUZZ_PROPERTY(count != nullptr);
  return *count;
}

const std::string& string_member(const JsonValue& object, std::string_view key) {
  const std::string* text = object.string_field(key);
  FUZZ_PROPERTY(text != nullptr);
  return *text;
}

const JsonArray& array_member(const JsonValue& object, std::string_view key) {
  const JsonArray* array = object.array_field(key);
  FUZZ_PROPERTY(array != nullptr);
  return *array;
}

bool bool_member(const JsonValue& object, std::string_view key) {
  const JsonValue* member = object.field(key);
  FUZZ_PROPERTY(member != nullptr);
  const bool* flag = std::get_if<bool>(&member->storage());
  FUZZ_PROPERTY(flag != nullptr);
  return *flag;
}

std::size_t count_chars(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return !is_utf8_continuation(c); }));
}

// A quoted text: the start of `line`, cut to at most MAX_QUOTED_CHARS characters.
bool quotes_start_of(std::string_view quoted, std::string_view line) {
  return line.substr(0, quoted.size()) == quoted && count_chars(quoted) <= MAX_QUOTED_CHARS;
}

void check_syntax_check(const JsonValue& result, const std::vector<std::string_view>& lines) {
  FUZZ_PROPERTY(bool_member(result, "checked"));
  const JsonArray& errors = array_member(result, "errors");
  FUZZ_PROPERTY(count_member(result, "error_count") == errors.size());
  FUZZ_PROPERTY(errors.size() <= MAX_ERRORS);
  FUZZ_PROPERTY(bool_member(result, "valid") == errors.empty());

  std::uint64_t previous_line = 0;
  std::uint64_t previous_column = 0;
  for (const JsonValue& error : errors) {
    std::uint64_t line = count_member(error, "line");
    std::uint64_t column = count_member(error, "column");
    FUZZ_PROPERTY(line >= 1 && line <= lines.size());
    std::string_view text = lines[line - 1];
    FUZZ_PROPERTY(column >= 1 && column <= text.size() + 1);
    // Reported nodes never nest, so document order is position order.
    FUZZ_PROPERTY(line > previous_line || (line == previous_line && column >= previous_column));
    previous_line = line;
    previous_column = column;

    const std::string& kind = string_member(error, "kind");
    const std::string& message = string_member(error, "message");
    FUZZ_PROPERTY(kind == "error" ? message == "syntax error"
                                  : kind == "missing" && message.starts_with("missing "));
    // The CR of a CR LF ending is no part of the quoted line.
    if (line < lines.size() && text.ends_with('\r')) text.remove_suffix(1);
    FUZZ_PROPERTY(quotes_start_of(string_member(error, "snippet"), text));
  }
}

void check_outline(const JsonValue& result, std::string_view content,
                   const std::vector<std::string_view>& lines) {
  const JsonArray& symbols = array_member(result, "symbols");
  FUZZ_PROPERTY(count_member(result, "symbol_count") == symbols.size());
  FUZZ_PROPERTY(symbols.size() <= MAX_SYMBOLS);

  const JsonValue* container = nullptr;
  for (const JsonValue& symbol : symbols) {
    std::uint64_t line = count_member(symbol, "line");
    std::uint64_t end_line = count_member(symbol, "end_line");
    FUZZ_PROPERTY(line >= 1 && line <= end_line && end_line <= lines.size());
    const std::string& kind = string_member(symbol, "kind");
    FUZZ_PROPERTY(std::find(std::begin(SYMBOL_KINDS), std::end(SYMBOL_KINDS), kind) !=
                  std::end(SYMBOL_KINDS));
    // Both are quoted from the text: the name from anywhere in the
    // declaration, the signature from its first line.
    FUZZ_PROPERTY(content.find(string_member(symbol, "name")) != std::string_view::npos);
    const std::string& signature = string_member(symbol, "signature");
    FUZZ_PROPERTY(lines[line - 1].find(signature) != std::string_view::npos);
    FUZZ_PROPERTY(count_chars(signature) <= MAX_QUOTED_CHARS);

    // A member lies within the container listed before it.
    std::uint64_t depth = count_member(symbol, "depth");
    FUZZ_PROPERTY(depth <= 1);
    if (depth == 0) {
      container = &symbol;
      continue;
    }
    FUZZ_PROPERTY(container != nullptr);
    FUZZ_PROPERTY(line >= count_member(*container, "line") &&
                  end_line <= count_member(*container, "end_line"));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view content = fuzz::as_text(data + 1, size - 1);
  if (!is_valid_utf8(content)) return -1;
  // Every language of the registry, by its name as callers give it.
  const LanguageEntry& entry = LANGUAGE_TABLE[data[0] % LANGUAGE_COUNT];
  std::string_view language = entry.name;
  bool outline = (data[0] / LANGUAGE_COUNT) % 2 == 1;
  bool also_analyse = (data[0] / (2 * LANGUAGE_COUNT)) % 2 == 1;
  std::string_view command = outline ? "outline" : "syntax-check";

  JsonObject members;
  members.emplace("content", JsonValue(content));
  members.emplace("language", JsonValue(language));
  std::string payload = write_json_text(JsonValue(std::move(members)));

  static const AllocatorHooks hooks = module_hooks();
  Expected<std::string> first = execute_command(command, payload);
  // Nothing a call allocates for parsing outlives it.
  FUZZ_PROPERTY(live_parser_blocks() == 0);
  if (!first) {
    FUZZ_PROPERTY(first.error().kind == ErrorKind::parse_work_ceiling);
    FUZZ_PROPERTY(first.error().message == "parse needed more than " +
                                               std::to_string(parse_work_ceiling_steps(content.size())) +
                                               " steps of work");
    return 0;
  }
  FUZZ_PROPERTY(run_with_plain_allocator(command, payload, hooks) == first.value());
  if (also_analyse) {
    // "analyse" answers both commands' results from its one parse.
    Expected<std::string> other = execute_command(outline ? "syntax-check" : "outline", payload);
    Expected<std::string> both = execute_command("analyse", payload);
    FUZZ_PROPERTY(other.has_value() && both.has_value());
    const std::string& outline_text = outline ? first.value() : other.value();
    const std::string& check_text = outline ? other.value() : first.value();
    FUZZ_PROPERTY(both.value() ==
                  R"({"ok":true,"outline":)" + outline_text + R"(,"syntax_check":)" + check_text + "}");
    FUZZ_PROPERTY(live_parser_blocks() == 0);
  }

  JsonValue result = fuzz::parse_result_text(first.value());
  fuzz::check_success_object(result);
  FUZZ_PROPERTY(string_member(result, "language") == language);
  std::vector<std::string_view> lines = split_lines(content);
  if (!outline) {
    check_syntax_check(result, lines);
  } else if (!entry.has_outline_rules) {
    FUZZ_PROPERTY(!bool_member(result, "checked") && string_member(result, "reason") == "no_outline");
  } else {
    FUZZ_PROPERTY(bool_member(result, "checked"));
    check_outline(result, content, lines);
  }
  return 0;
}
