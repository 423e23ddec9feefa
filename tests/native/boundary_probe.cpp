// The command executor of the test-only probe module. The tests build it with
// the real boundary over the real command table, so that they can drive the
// failure barrier, check the writer on any value, and ask how many blocks the
// parser's memory still has out after a real command. Nothing here is part of
// the shipped module.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/internal_failure.h"
#include "json/json_parse.h"
#include "json/json_write.h"
#include "module/dispatch.h"
#include "syntax/language.h"
#include "syntax/parse.h"
#include "syntax/parser_memory.h"
#include "syntax/source_tree.h"
#include "syntax/ts_handles.h"

namespace {

// A failure whose report cannot be produced: a second failure while the
// boundary is converting the first one.
class UnreportableFailure : public marblewick::InternalFailure {
 public:
  UnreportableFailure() : InternalFailure("first failure", std::source_location::current()) {}
  std::string location_text() const override {
    throw std::runtime_error("failure while reporting a failure");
  }
};

}  // namespace

// The scanners' own entry points, linked in with their grammars.
extern "C" {
void* tree_sitter_python_external_scanner_create();
void tree_sitter_python_external_scanner_destroy(void* payload);
void* tree_sitter_rust_external_scanner_create();
void tree_sitter_rust_external_scanner_destroy(void* payload);
}

namespace marblewick {

Expected<std::string> execute_probe_command(std::string_view command, std::string_view payload_text,
                                            HostLock* host_lock, GrammarLoader* loader) {
  if (command == "echo") {
    Expected<JsonValue> payload = parse_json_text(payload_text);
    if (!payload) return std::move(payload).error();
    return write_json_text(payload.value());
  }
  if (command == "live-parser-blocks") {
    // With a source in the payload, the count is taken while its tree is
    // alive, which shows that the count sees the parser's blocks at all.
    Expected<JsonValue> payload = parse_json_text(payload_text);
    if (!payload) return std::move(payload).error();
    std::optional<Expected<SourceTree>> source;
    if (payload.value().field("content") != nullptr) source.emplace(obtain_source_tree(payload.value()));
    JsonObject result;
    result.emplace("live_parser_blocks", JsonValue::count(live_parser_blocks()));
    return write_json_text(JsonValue(std::move(result)));
  }
  if (command == "parse-memory-peak") {
    // The most bytes the parse of a source held at once, the steps of work it
    // took, and its text's size.
    Expected<JsonValue> payload = parse_json_text(payload_text);
    if (!payload) return std::move(payload).error();
    Expected<SourceTree> source = obtain_source_tree(payload.value());
    if (!source) return std::move(source).error();
    JsonObject result;
    result.emplace("peak_bytes",
                   JsonValue::count(source.value().parsed ? source.value().parsed->memory.peak_bytes() : 0));
    result.emplace("text_bytes", JsonValue::count(source.value().text.view().size()));
    result.emplace("work_steps",
                   JsonValue::count(source.value().parsed ? source.value().parsed->work_steps : 0));
    return write_json_text(JsonValue(std::move(result)));
  }
  if (command == "set-parse-memory-ceiling") {
    // {"mib": N}: every later parse gets a ceiling of N MiB; 0 restores the rule.
    Expected<JsonValue> payload = parse_json_text(payload_text);
    if (!payload) return std::move(payload).error();
    set_parse_memory_ceiling_for_tests(payload.value().count_field("mib").value_or(0));
    return std::string("{\"ok\":true}");
  }
  if (command == "set-parse-work-ceiling") {
    // {"steps": N}: every later parse gets a ceiling of N steps; 0 restores the rule.
    Expected<JsonValue> payload = parse_json_text(payload_text);
    if (!payload) return std::move(payload).error();
    set_parse_work_ceiling_for_tests(payload.value().count_field("steps").value_or(0));
    return std::string("{\"ok\":true}");
  }
  if (command == "scanner-blocks") {
    // The blocks the Python and Rust grammars' external scanners hold once
    // created (the other grammars' scanners allocate nothing), and after they
    // are destroyed: their memory is the parser's, counted like the rest.
    ParserMemory memory;
    JsonObject result;
    void* python = tree_sitter_python_external_scanner_create();
    result.emplace("python", JsonValue::count(live_parser_blocks()));
    tree_sitter_python_external_scanner_destroy(python);
    void* rust = tree_sitter_rust_external_scanner_create();
    result.emplace("rust", JsonValue::count(live_parser_blocks()));
    tree_sitter_rust_external_scanner_destroy(rust);
    result.emplace("after", JsonValue::count(live_parser_blocks()));
    return write_json_text(JsonValue(std::move(result)));
  }
  if (command == "tree-outlives-its-memory") {
    // A tree kept past the end of the memory it was parsed in: its blocks
    // must stay counted (and valid) until the tree goes, then all come back.
    std::optional<ParserMemory> memory(std::in_place);
    ParserHandle parser(ts_parser_new());
    check_invariant(ts_parser_set_language(parser.get(), language_entry(Language::PYTHON).grammar()),
                    "probe grammar rejected");
    constexpr std::string_view source = "def f(x):\n    return [x, (x,), {x: x}]\n";
    TreeHandle tree(ts_parser_parse_string(parser.get(), nullptr, source.data(),
                                           static_cast<std::uint32_t>(source.size())));
    parser.reset();
    memory.reset();
    JsonObject result;
    result.emplace("while_kept", JsonValue::count(live_parser_blocks()));
    tree.reset();
    result.emplace("after", JsonValue::count(live_parser_blocks()));
    return write_json_text(JsonValue(std::move(result)));
  }
  if (command == "tree-has-error") {
    // The parser runtime's own verdict on a text, through the module's own
    // parse path, for the tests to compare "syntax-check" with.
    Expected<JsonValue> payload = parse_json_text(payload_text);
    if (!payload) return std::move(payload).error();
    Expected<SourceTree> source = obtain_source_tree(payload.value());
    if (!source) return std::move(source).error();
    check_invariant(source.value().parsed.has_value(), "probe text has no grammar");
    JsonObject result;
    result.emplace("has_error", JsonValue(ts_node_has_error(source.value().parsed->root())));
    return write_json_text(JsonValue(std::move(result)));
  }
  if (command == "fail-invariant") check_invariant(false, "probe invariant broken");
  if (command == "fail-std") throw std::out_of_range("index 7 is out of range for length 3");
  if (command == "fail-unknown") throw 42;
  if (command == "bad-result") return std::string("\xff\xfe not UTF-8");
  if (command == "fail-twice") throw UnreportableFailure();
  // Everything else is the shipped module's own answer.
  return execute_command(command, payload_text, host_lock, loader);
}

}  // namespace marblewick
