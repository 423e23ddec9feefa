// Property: the parser's work grows no faster than the text. The input names a
// language and a short unit (and, optionally, a prefix that sets a context,
// such as an open JSX element); the target repeats the unit after the prefix
// to texts of about 2.5, 10, 20 and 40 KB, parses each with that language's
// grammar and counts three things that depend on the text alone:
//   - the characters the lexer reads (the input is handed over one character
//     at a time, so every step of the lexer, and every step back over text it
//     has read before, is a read);
//   - the parse operations (the runtime calls its progress check once every
//     hundred of them);
//   - the most bytes the parse held at once (the parse's own memory pool);
// and, since work inside one operation (copying a node's children, say) shows
// in none of these, the parse's CPU time on its thread.
// A text that is lexed again to its end at every position, or a stack that
// grows with every repeat, shows here as work that doubles more than twice
// when the text doubles. A count growing faster than size^1.5 from one size
// to the next is a finding; counts cannot be noisy, so the limit can be tight.
// Time is noisy, so it is judged only over a fourfold size (2.5 to 10 KB, 10
// to 40 KB), with an allowance, and a time-only finding must show again when
// both sizes are parsed once more.
//
// Input: byte 0 picks the language (modulo the table's size); the rest is the
// unit, or the prefix, a 0xFF byte (never part of UTF-8) and the unit. Both
// must be UTF-8; the unit holds at most MAX_UNIT_BYTES, the prefix at most
// MAX_PREFIX_BYTES.
//
// Each parse after the first is stopped once it passes what the limit allows,
// so a finding costs little more than a fair input. With GROWTH_FINDINGS set
// to a folder, a finding is written there (its input and a report) and the
// run goes on, the input kept out of the corpus; otherwise it aborts, as in
// the corpus replay, where a committed input must never be a finding. With
// GROWTH_COUNTS set, the counts of every input are written to standard error.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>

#include <tree_sitter/api.h>

#include "fuzz_support.h"
#include "syntax/language.h"
#include "syntax/parser_memory.h"
#include "syntax/ts_handles.h"

using namespace marblewick;

namespace {

constexpr std::size_t MAX_UNIT_BYTES = 1024;
constexpr std::size_t MAX_PREFIX_BYTES = 512;
constexpr char PREFIX_END = '\xff';

// The text sizes, smallest first. The first is a cheap probe whose counts
// bound the parse at 10 KB, so a family that grows as the square of the text
// is found without paying for a full parse at 40 KB. GROWTH_SCALE=N (1 to 64)
// multiplies them all, for a hunt after growth that shows only in longer texts.
constexpr std::array<std::size_t, 4> BASE_TEXT_SIZES = {2'500, 10'000, 20'000, 40'000};

std::array<std::size_t, 4> text_sizes() {
  std::size_t scale = 1;
  if (const char* given = std::getenv("GROWTH_SCALE"))
    scale = std::clamp<std::size_t>(std::strtoul(given, nullptr, 10), 1, 64);
  std::array<std::size_t, 4> sizes = BASE_TEXT_SIZES;
  for (std::size_t& size : sizes) size *= scale;
  return sizes;
}

const std::array<std::size_t, 4> TEXT_SIZES = text_sizes();

// Work that grows as size^GROWTH_EXPONENT_LIMIT from one size to the next is
// the most a text may need. Linear work has exponent 1 and n log n stays near
// 1.1 at these sizes, while a text lexed again to its end at every position
// has 2.
constexpr double GROWTH_EXPONENT_LIMIT = 1.5;

// Allowances on top of the limit, so that counts too small to mean anything
// (a few tokens' worth, a few pool chunks) are never findings.
constexpr std::uint64_t SLACK_CHARACTERS = 4'096;
constexpr std::uint64_t SLACK_OPERATIONS = 1'000;
constexpr std::uint64_t SLACK_BYTES = 4 * 1024 * 1024;
constexpr std::uint64_t SLACK_CPU_NS = 20'000'000;

// Which earlier size each size's time is judged against: the one a quarter
// its size. 20 KB has none so small; its time only has to stay within what
// 40 KB may take, so that a parse that will be a finding stops early.
constexpr std::array<std::size_t, 4> TIME_REFERENCE = {0, 0, 1, 1};
constexpr std::array<bool, 4> TIME_JUDGED = {false, true, false, true};

// The runtime's own constant: parse operations per progress check.
constexpr std::uint64_t OPERATIONS_PER_CHECK = 100;

struct Work {
  std::uint64_t characters = 0;
  std::uint64_t operations = 0;
  std::uint64_t peak_bytes = 0;
  std::uint64_t cpu_ns = 0;
};

// What one parse may take before it is stopped; all-ones for no limit.
struct WorkLimit {
  std::uint64_t characters = UINT64_MAX;
  std::uint64_t operations = UINT64_MAX;
  std::uint64_t bytes = UINT64_MAX;
  std::uint64_t cpu_ns = UINT64_MAX;
};

struct CountedParse {
  std::string_view text;
  WorkLimit limit;
  std::uint64_t started_ns = 0;
  Work work;
  bool stopped = false;
};

std::uint64_t thread_cpu_ns() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// The bytes of the one character at `at` (a lone continuation byte counts as
// one), so that a chunk never ends inside a character.
std::uint32_t character_bytes(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::uint32_t bytes = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  return static_cast<std::uint32_t>(std::min<std::size_t>(bytes, text.size() - at));
}

const char* read_one_character(void* payload, std::uint32_t byte_index, TSPoint, std::uint32_t* bytes_read) {
  auto* parse = static_cast<CountedParse*>(payload);
  if (byte_index >= parse->text.size()) {
    *bytes_read = 0;
    return "";
  }
  ++parse->work.characters;
  *bytes_read = character_bytes(parse->text, byte_index);
  return parse->text.data() + byte_index;
}

bool progress_check(TSParseState* state) {
  auto* parse = static_cast<CountedParse*>(state->payload);
  parse->work.operations += OPERATIONS_PER_CHECK;
  parse->stopped = parse->work.characters > parse->limit.characters ||
                   parse->work.operations > parse->limit.operations || parser_memory_over_ceiling() ||
                   thread_cpu_ns() - parse->started_ns > parse->limit.cpu_ns;
  return parse->stopped;
}

// One fresh parse of `text`, counted; stopped early once over `limit`.
CountedParse count_parse(const TSLanguage* grammar, std::string_view text, const WorkLimit& limit) {
  CountedParse parse{text, limit, thread_cpu_ns(), {}, false};
  {
    // The memory goes last: after the tree and the parser.
    ParserMemory memory;
    memory.set_ceiling(static_cast<std::size_t>(std::min<std::uint64_t>(limit.bytes, SIZE_MAX)));
    ParserHandle parser(ts_parser_new());
    FUZZ_PROPERTY(ts_parser_set_language(parser.get(), grammar));
    TSInput input{&parse, read_one_character, TSInputEncodingUTF8, nullptr};
    TSParseOptions options{&parse, progress_check};
    TreeHandle tree(ts_parser_parse_with_options(parser.get(), nullptr, input, options));
    parse.work.cpu_ns = thread_cpu_ns() - parse.started_ns;
    // A parse that was not stopped always gives a tree.
    FUZZ_PROPERTY(parse.stopped || tree != nullptr);
    tree.reset();
    parser.reset();
    parse.work.peak_bytes = memory.peak_bytes();
  }
  FUZZ_PROPERTY(live_parser_blocks() == 0);
  return parse;
}

// The most `count` may grow to when the text grows by `size_ratio`.
std::uint64_t allowed(std::uint64_t count, double size_ratio, std::uint64_t slack) {
  double most = static_cast<double>(count) * std::pow(size_ratio, GROWTH_EXPONENT_LIMIT);
  return static_cast<std::uint64_t>(std::min(most, 1e18)) + slack;
}

// The limit of a parse: its counts against the size before it, its time
// against the size a quarter its own.
WorkLimit limit_after(const Work& previous, double size_ratio, const Work& time_reference,
                      double time_ratio) {
  return {allowed(previous.characters, size_ratio, SLACK_CHARACTERS),
          allowed(previous.operations, size_ratio, SLACK_OPERATIONS),
          allowed(previous.peak_bytes, size_ratio, SLACK_BYTES),
          allowed(time_reference.cpu_ns, time_ratio, SLACK_CPU_NS)};
}

bool counts_within(const Work& work, const WorkLimit& limit) {
  return work.characters <= limit.characters && work.operations <= limit.operations &&
         work.peak_bytes <= limit.bytes;
}

// The growth exponent of a count from one size to the next (0 when either
// count is 0); a stopped parse's count is a lower bound, so is its exponent.
double exponent(std::uint64_t before, std::uint64_t after, double size_ratio) {
  if (before == 0 || after == 0) return 0;
  return std::log(static_cast<double>(after) / static_cast<double>(before)) / std::log(size_ratio);
}

// Coverage for how fast the work grew: every step of an eighth in the largest
// exponent, per language, is a function of its own, so the fuzzer keeps an
// input that grows faster than any before it and mutates towards growth.
constexpr std::size_t EXPONENT_STEPS = 16;

volatile std::size_t last_growth_step;

template <std::size_t N>
[[gnu::noinline]] void reached_growth_step() {
  last_growth_step = N;
}

template <std::size_t... N>
constexpr auto growth_steps(std::index_sequence<N...>) {
  return std::array<void (*)(), sizeof...(N)>{&reached_growth_step<N>...};
}

constexpr auto GROWTH_STEPS = growth_steps(std::make_index_sequence<LANGUAGE_COUNT * EXPONENT_STEPS>());

void mark_growth(std::size_t language, double largest_exponent) {
  double step = std::clamp(largest_exponent * 8, 0.0, static_cast<double>(EXPONENT_STEPS - 1));
  GROWTH_STEPS[language * EXPONENT_STEPS + static_cast<std::size_t>(step)]();
}

// How many repeats of the unit follow the prefix for a text of at least
// `size` bytes: always one or more.
std::size_t repeats_for(std::string_view prefix, std::string_view unit, std::size_t size) {
  return size > prefix.size() + unit.size() ? (size - prefix.size() + unit.size() - 1) / unit.size() : 1;
}

std::string repeated_text(std::string_view prefix, std::string_view unit, std::size_t size) {
  std::string text(prefix);
  std::size_t repeats = repeats_for(prefix, unit, size);
  text.reserve(prefix.size() + repeats * unit.size());
  for (std::size_t i = 0; i < repeats; ++i) text += unit;
  return text;
}

// A text as a C string literal, for the report.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out + "\"";
}

struct Step {
  std::size_t bytes = 0;
  Work work;
  bool stopped = false;
};

using Steps = std::array<Step, BASE_TEXT_SIZES.size()>;

// What a parse went past: its counts' limit (a finding) or only its time's
// (a finding once it shows again).
enum class Excess { none, counts, time };

std::string growth_report(Excess excess, std::string_view language, std::string_view prefix,
                          std::string_view unit, const Steps& steps, std::size_t measured) {
  const char* verdict = excess == Excess::counts ? "growth finding (counts)"
                        : excess == Excess::time ? "growth finding (time, shown twice)"
                                                 : "counts";
  std::string report = std::string(verdict) + ": language " + std::string(language) + ", prefix " +
                       quoted(prefix) + ", unit " + quoted(unit) + "\n";
  for (std::size_t i = 0; i < measured; ++i) {
    const Step& step = steps[i];
    char line[320];
    std::snprintf(line, sizeof line,
                  "  %7zu bytes: %11llu characters read, %9llu operations, %7llu KiB peak, %8.1f ms%s\n",
                  step.bytes, static_cast<unsigned long long>(step.work.characters),
                  static_cast<unsigned long long>(step.work.operations),
                  static_cast<unsigned long long>(step.work.peak_bytes / 1024),
                  static_cast<double>(step.work.cpu_ns) / 1e6,
                  step.stopped ? " (stopped at its limit: figures are lower bounds)" : "");
    report += line;
    if (i == 0) continue;
    const Step& before = steps[i - 1];
    double ratio = static_cast<double>(step.bytes) / static_cast<double>(before.bytes);
    const Step& time_before = steps[TIME_REFERENCE[i]];
    double time_ratio = static_cast<double>(step.bytes) / static_cast<double>(time_before.bytes);
    std::snprintf(line, sizeof line,
                  "           growth exponent: characters %.2f, operations %.2f, memory %.2f, "
                  "time %.2f (against %zu bytes)\n",
                  exponent(before.work.characters, step.work.characters, ratio),
                  exponent(before.work.operations, step.work.operations, ratio),
                  exponent(before.work.peak_bytes, step.work.peak_bytes, ratio),
                  exponent(time_before.work.cpu_ns, step.work.cpu_ns, time_ratio), time_before.bytes);
    report += line;
  }
  return report;
}

// Keeps a finding in the folder GROWTH_FINDINGS names, under a name taken from
// the input, with its report beside it.
void keep_finding(const char* folder, const std::uint8_t* data, std::size_t size, const std::string& report) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a: a stable name, not a digest
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
  char name[32];
  std::snprintf(name, sizeof name, "growth-%016llx", static_cast<unsigned long long>(hash));
  std::string path = std::string(folder) + "/" + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  std::ofstream(path + ".txt") << report;
}

// Parses the texts from the smallest up, each within the limit the ones
// before it set, and stops at the first that goes past it.
class GrowthMeasure {
 public:
  GrowthMeasure(const TSLanguage* grammar, std::string_view prefix, std::string_view unit)
      : grammar_(grammar), prefix_(prefix), unit_(unit) {
    // Texts are whole repeats, so their lengths, not the nominal sizes, give
    // the ratios.
    for (std::size_t i = 0; i < TEXT_SIZES.size(); ++i) {
      steps_[i].bytes = prefix.size() + repeats_for(prefix, unit, TEXT_SIZES[i]) * unit.size();
    }
  }

  Excess run() {
    for (measured_ = 0; measured_ < TEXT_SIZES.size(); ++measured_) {
      const std::size_t i = measured_;
      Excess excess = parse_step(i);
      if (excess == Excess::time) {
        // Once more, its time reference too: a busy machine can slow one parse.
        parse_step(TIME_REFERENCE[i]);
        excess = parse_step(i);
      }
      if (excess != Excess::none) {
        ++measured_;
        return excess;
      }
    }
    return Excess::none;
  }

  const Steps& steps() const { return steps_; }
  std::size_t measured() const { return measured_; }

  // The largest growth exponent of the three counts so far.
  double largest_count_exponent() const {
    double largest = 0;
    for (std::size_t i = 1; i < measured_; ++i) {
      const Work& before = steps_[i - 1].work;
      const Work& after = steps_[i].work;
      double ratio = static_cast<double>(steps_[i].bytes) / static_cast<double>(steps_[i - 1].bytes);
      largest = std::max({largest, exponent(before.characters, after.characters, ratio),
                          exponent(before.operations, after.operations, ratio),
                          exponent(before.peak_bytes, after.peak_bytes, ratio)});
    }
    return largest;
  }

 private:
  WorkLimit limit_of(std::size_t i) const {
    if (i == 0) return {};  // the probe has none
    const Step& before = steps_[i - 1];
    const Step& time_before = steps_[TIME_REFERENCE[i]];
    // 20 KB may take what 40 KB may: its time is not judged on its own.
    std::size_t time_bytes = TIME_JUDGED[i] ? steps_[i].bytes : steps_[i + 1].bytes;
    return limit_after(before.work, static_cast<double>(steps_[i].bytes) / static_cast<double>(before.bytes),
                       time_before.work,
                       static_cast<double>(time_bytes) / static_cast<double>(time_before.bytes));
  }

  Excess parse_step(std::size_t i) {
    const WorkLimit limit = limit_of(i);
    std::string text = repeated_text(prefix_, unit_, TEXT_SIZES[i]);
    CountedParse parse = count_parse(grammar_, text, limit);
    steps_[i].work = parse.work;
    steps_[i].stopped = parse.stopped;
    if (i == 0) return Excess::none;
    if (!counts_within(parse.work, limit)) return Excess::counts;
    // Within its counts, a parse stops only for its time.
    if (parse.stopped || (TIME_JUDGED[i] && parse.work.cpu_ns > limit.cpu_ns)) return Excess::time;
    return Excess::none;
  }

  const TSLanguage* grammar_;
  std::string_view prefix_;
  std::string_view unit_;
  Steps steps_;
  std::size_t measured_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return -1;
  const std::size_t language_index = data[0] % LANGUAGE_COUNT;
  const LanguageEntry& entry = LANGUAGE_TABLE[language_index];
  std::string_view rest = fuzz::as_text(data + 1, size - 1);
  std::string_view prefix;
  std::string_view unit = rest;
  if (std::size_t end = rest.find(PREFIX_END); end != std::string_view::npos) {
    prefix = rest.substr(0, end);
    unit = rest.substr(end + 1);
  }
  if (unit.empty() || unit.size() > MAX_UNIT_BYTES || prefix.size() > MAX_PREFIX_BYTES) return -1;
  if (!is_valid_utf8(prefix) || !is_valid_utf8(unit)) return -1;

  GrowthMeasure measure(entry.grammar(), prefix, unit);
  const Excess excess = measure.run();
  mark_growth(language_index, measure.largest_count_exponent());
  const bool show_counts = std::getenv("GROWTH_COUNTS") != nullptr;
  if (excess == Excess::none && !show_counts) return 0;

  std::string report = growth_report(excess, entry.name, prefix, unit, measure.steps(), measure.measured());
  if (excess == Excess::none) {
    std::fputs(report.c_str(), stderr);
    return 0;
  }
  if (const char* folder = std::getenv("GROWTH_FINDINGS"); folder != nullptr && *folder != '\0') {
    keep_finding(folder, data, size, report);
    return -1;
  }
  std::fputs(report.c_str(), stderr);
  fuzz::property_failed("work grows no faster than size^1.5", __FILE__, __LINE__);
}
