// parse_source. The whole text is handed over in one piece and parsed from
// scratch: no previous tree and no logger. A progress check, which the parser
// makes every hundred operations or so, stops the parse when its time budget
// is spent, when it has held more memory than its ceiling, or when the system
// has refused it memory; the runtime itself stops it, at the end of the
// current lex, when it passes its work ceiling. Nothing of a stopped parse is
// kept, since the parser goes with the call.
#include "syntax/parse.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>

#include "base/error_texts.h"

namespace marblewick {
namespace {

// The parser counts bytes in 32 bits; a longer text would have its offsets
// wrap and its tree describe the wrong bytes.
constexpr std::size_t MAX_PARSE_BYTES = std::numeric_limits<std::uint32_t>::max();

// Budgets beyond this (about 35 years) cannot run out, and are not turned into
// a deadline, whose clock value would overflow.
constexpr std::uint64_t LONGEST_DEADLINE_MS = std::uint64_t{1} << 40;

ErrorText timeout_error(std::uint64_t timeout_ms) {
  return ErrorText(ErrorKind::parse_budget,
                   "parse did not finish within " + std::to_string(timeout_ms) + " ms");
}

ErrorText memory_ceiling_error(std::uint64_t ceiling_mib) {
  return ErrorText(ErrorKind::parse_memory_ceiling,
                   "parse needed more than " + std::to_string(ceiling_mib) + " MiB");
}

ErrorText work_ceiling_error(std::uint64_t ceiling_steps) {
  return ErrorText(ErrorKind::parse_work_ceiling,
                   "parse needed more than " + std::to_string(ceiling_steps) + " steps of work");
}

constexpr std::uint64_t MIB = 1024 * 1024;

// Process-wide, set only by tests; 0 when unused.
std::atomic<std::uint64_t> test_ceiling_mib{0};
std::atomic<std::uint64_t> test_ceiling_steps{0};

// The whole rest of the text on every read, so the parser sees it in one chunk.
struct WholeText {
  std::string_view text;
};

const char* read_whole_text(void* payload, std::uint32_t byte_index, TSPoint, std::uint32_t* bytes_read) {
  std::string_view text = static_cast<const WholeText*>(payload)->text;
  if (byte_index >= text.size()) {
    *bytes_read = 0;
    return "";
  }
  *bytes_read = static_cast<std::uint32_t>(text.size() - byte_index);
  return text.data() + byte_index;
}

// What the progress check looks at, and why it stopped the parse.
struct ParseWatch {
  bool has_deadline = false;
  std::chrono::steady_clock::time_point deadline;
  bool timed_out = false;
};

// True stops the parse.
bool parse_should_stop(TSParseState* state) {
  if (parser_memory_exhausted() || parser_memory_over_ceiling()) return true;
  auto* watch = static_cast<ParseWatch*>(state->payload);
  if (watch->has_deadline && std::chrono::steady_clock::now() >= watch->deadline) {
    watch->timed_out = true;
    return true;
  }
  return false;
}

}  // namespace

bool grammar_abi_supported(std::uint32_t version) {
  return version >= MIN_GRAMMAR_ABI && version <= MAX_GRAMMAR_ABI;
}

ErrorText incompatible_version_error(std::uint32_t version) {
  return ErrorText(ErrorKind::parse_refused, "Incompatible language version " + std::to_string(version) +
                                                 ". Expected minimum " + std::to_string(MIN_GRAMMAR_ABI) +
                                                 ", maximum " + std::to_string(MAX_GRAMMAR_ABI));
}

std::uint64_t parse_memory_ceiling_mib(std::size_t text_bytes) {
  if (std::uint64_t test_mib = test_ceiling_mib.load(std::memory_order_relaxed)) return test_mib;
  // At most 4 GiB of text times a small ratio: no overflow in 64 bits.
  std::uint64_t per_text = std::uint64_t{text_bytes} * PARSE_MEMORY_BYTES_PER_TEXT_BYTE;
  return PARSE_MEMORY_FLOOR_MIB + (per_text + MIB - 1) / MIB;
}

void set_parse_memory_ceiling_for_tests(std::uint64_t mib) {
  test_ceiling_mib.store(mib, std::memory_order_relaxed);
}

std::uint64_t parse_work_ceiling_steps(std::size_t text_bytes) {
  if (std::uint64_t test_steps = test_ceiling_steps.load(std::memory_order_relaxed)) return test_steps;
  // At most 4 GiB of text times a small ratio: no overflow in 64 bits.
  return PARSE_WORK_FLOOR_STEPS + std::uint64_t{text_bytes} * PARSE_WORK_STEPS_PER_TEXT_BYTE;
}

void set_parse_work_ceiling_for_tests(std::uint64_t steps) {
  test_ceiling_steps.store(steps, std::memory_order_relaxed);
}

Expected<ParsedSource> parse_source(const TSLanguage* grammar, std::string_view text,
                                    std::uint64_t timeout_ms) {
  if (text.size() > MAX_PARSE_BYTES) {
    return ErrorText(ErrorKind::parse_refused,
                     "source text too large to parse: " + std::to_string(text.size()) + " bytes, at most " +
                         std::to_string(MAX_PARSE_BYTES));
  }

  ParseWatch watch;
  if (timeout_ms != NO_PARSE_TIMEOUT && timeout_ms < LONGEST_DEADLINE_MS) {
    watch.has_deadline = true;
    watch.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  }

  ParsedSource parsed;
  std::uint64_t ceiling_mib = parse_memory_ceiling_mib(text.size());
  parsed.memory.set_ceiling(static_cast<std::size_t>(ceiling_mib * MIB));
  parsed.parser.reset(ts_parser_new());

  std::uint32_t version = ts_language_abi_version(grammar);
  if (!grammar_abi_supported(version) || !ts_parser_set_language(parsed.parser.get(), grammar)) {
    return incompatible_version_error(version);
  }

  std::uint64_t ceiling_steps = parse_work_ceiling_steps(text.size());
  ts_parser_set_work_limit(parsed.parser.get(), ceiling_steps);

  WholeText whole{text};
  TSInput input{&whole, read_whole_text, TSInputEncodingUTF8, nullptr};
  TSParseOptions options{&watch, parse_should_stop};
  parsed.tree.reset(ts_parser_parse_with_options(parsed.parser.get(), nullptr, input, options));
  parsed.work_steps = ts_parser_work_done(parsed.parser.get());
  // Memory first, whether or not the parse finished: one that the reserve had
  // to serve still counts as one the system could not hold, and one that
  // passed its ceiling after its last progress check is over it all the same.
  if (parser_memory_exhausted()) return out_of_memory_error();
  if (parser_memory_over_ceiling()) return memory_ceiling_error(ceiling_mib);
  if (ts_parser_work_limit_reached(parsed.parser.get())) return work_ceiling_error(ceiling_steps);
  if (!parsed.tree) {
    if (watch.timed_out) return timeout_error(timeout_ms);
    return ErrorText(ErrorKind::parse_refused, "tree-sitter parse returned no tree");
  }
  return parsed;
}

}  // namespace marblewick
