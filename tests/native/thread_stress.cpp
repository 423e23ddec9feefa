// Calls execute_command from many threads at once, with no interpreter, and
// checks that every answer is the one the same call gives alone. Built with
// ThreadSanitizer (MARBLEWICK_TSAN, .ci/tsan), it shows that commands running
// side by side share nothing they should not: the parser's allocator hooks,
// its reserve and live-block counts, the grammars, the scan's worker pool and
// the hash's helper thread, and the registry of run-time grammars, which one
// thread keeps adding to while the others analyse registered languages.
//
//   marblewick_thread_stress ROOT SECONDS [THREADS]
//
// ROOT is a tree of source files (the repository's own): its files of each
// language are analysed by path, it is scanned, and a file of 5 MiB is written
// into a scratch folder beside it for "hash". Exits 0 when every answer
// matched and no parser block is left out at the end; 1 otherwise.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include "module/dispatch.h"
#include "syntax/language.h"
#include "syntax/parse.h"
#include "syntax/parser_memory.h"

namespace {

using namespace marblewick;

struct Call {
  std::string command;
  std::string payload;
  std::string expected;  // the answer alone, or "error: " and its text
};

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// "Imports" a grammar package without a host: every package is the
// compiled-in Python grammar, with the tags query in `folder`/queries.
class CompiledInLoader final : public GrammarLoader {
 public:
  explicit CompiledInLoader(std::string folder) : folder_(std::move(folder)) {}
  Expected<LoadedGrammar> load(std::string_view, std::string_view) override {
    return LoadedGrammar{tree_sitter_python(), folder_};
  }
  void keep_loaded() override {}

 private:
  std::string folder_;
};

CompiledInLoader* grammar_loader = nullptr;

std::string answer(const Call& call) {
  Expected<std::string> result = execute_command(call.command, call.payload, nullptr, grammar_loader);
  return result ? result.value() : "error: " + result.error().message;
}

constexpr const char* STRESS_TAGS =
    "(class_definition name: (identifier) @name) @definition.class\n"
    "((function_definition name: (identifier) @name) @definition.function (#not-match? @name \"^_\"))\n"
    "(call function: (identifier) @name) @reference.call\n";

// A registered copy of the Python grammar under NAME, for files ending in
// .EXTENSION.
std::string register_copy(const std::string& name, const std::string& extension) {
  return answer(
      {"register-grammar",
       "{\"language\":\"" + name + "\",\"package\":\"stress\",\"extensions\":[\"" + extension + "\"]}", ""});
}

// A random sequence of a language's brackets and separators: its parse keeps
// error recovery busy and grows much faster in time than in size.
std::string token_soup(std::size_t size, unsigned seed) {
  static const char* const tokens[] = {"{", "}", "(", ")", "[", "]", "<", ">", ",", ";", ":", "x", "1"};
  std::mt19937 rng(seed);
  std::string soup;
  while (soup.size() < size) {
    soup += tokens[rng() % std::size(tokens)];
    soup += ' ';
  }
  return soup;
}

std::vector<Call> build_calls(const std::filesystem::path& root, const std::filesystem::path& scratch) {
  std::vector<Call> calls;
  // Up to four files of each analysed extension, by path, with every analysis command.
  std::map<std::string, int> taken;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    std::string text = entry.path().string();
    if (text.find("/target/") != std::string::npos || text.find("/.git/") != std::string::npos) continue;
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& path : files) {
    std::string extension = path.extension().string();
    static const std::string analysed[] = {".py", ".js", ".ts", ".tsx", ".rs", ".json", ".cpp"};
    if (std::find(std::begin(analysed), std::end(analysed), extension) == std::end(analysed)) continue;
    if (taken[extension]++ >= 4) continue;
    for (const char* command : {"syntax-check", "outline", "analyse"}) {
      calls.push_back({command, "{\"path\":" + json_string(path.string()) + "}", ""});
    }
  }
  // A registered language by path and by name, released or not.
  for (const auto& path : files) {
    if (path.extension() != ".py" || taken[".stresspy"]++ >= 4) continue;
    for (const char* command : {"syntax-check", "outline", "analyse"}) {
      calls.push_back(
          {command,
           "{\"path\":" + json_string(path.string()) + ",\"language\":\"stress-py\",\"release_gil\":true}",
           ""});
    }
  }
  calls.push_back(
      {"analyse",
       "{\"content\":\"class A:\\n def f(self): pass\\ndef _g(): pass\\n\",\"path\":\"x.stresspy\"}", ""});
  // The six grammars on the same broken text, by name.
  for (const char* language : {"python", "javascript", "typescript", "tsx", "rust", "json"}) {
    calls.push_back(
        {"analyse",
         "{\"content\":\"fn f( { [1, 2 def class x =>\",\"language\":\"" + std::string(language) + "\"}",
         ""});
  }
  // Budgets that fire, and a parse past the lowered memory ceiling (main sets it).
  calls.push_back(
      {"syntax-check",
       "{\"content\":" + json_string(token_soup(300'000, 1)) + ",\"language\":\"rust\",\"timeout_ms\":5}",
       ""});
  calls.push_back(
      {"outline",
       "{\"content\":" + json_string(token_soup(200'000, 2)) + ",\"language\":\"rust\",\"timeout_ms\":2}",
       ""});
  calls.push_back(
      {"analyse", "{\"content\":" + json_string(token_soup(150'000, 3)) + ",\"language\":\"rust\"}", ""});
  // "hash" of a file large enough for its helper thread, scans, failures.
  std::filesystem::path big = scratch / "big.txt";
  calls.push_back({"hash", "{\"path\":" + json_string(big.string()) + "}", ""});
  calls.push_back({"scan", "{\"root\":" + json_string(root.string()) + ",\"max_files\":200}", ""});
  calls.push_back({"scan", "{\"root\":" + json_string((root / "src").string()) + "}", ""});
  calls.push_back({"hash", "{\"path\":\"/no/such/file\"}", ""});
  calls.push_back({"outline", "{\"path\":" + json_string(root.string()) + "}", ""});
  calls.push_back({"analyse", "{}", ""});
  calls.push_back({"analyse", "[1,", ""});
  calls.push_back({"nothing", "{}", ""});
  return calls;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s ROOT SECONDS [THREADS]\n", argv[0]);
    return 2;
  }
  std::filesystem::path root = std::filesystem::absolute(argv[1]);
  double seconds = std::atof(argv[2]);
  int thread_count = argc > 3 ? std::atoi(argv[3]) : 8;

  std::filesystem::path scratch =
      std::filesystem::temp_directory_path() / ("marblewick-stress-" + std::to_string(::getpid()));
  std::filesystem::create_directories(scratch);
  {
    std::ofstream big(scratch / "big.txt", std::ios::binary);
    std::string line = "0123456789abcdef\r\n";
    for (std::size_t written = 0; written < 5 * 1024 * 1024; written += line.size()) big << line;
  }
  // 12 MiB: every file of the tree fits, the 150 KB soup (about 11 MiB of
  // parse memory per 100 KB) does not, and stops early.
  set_parse_memory_ceiling_for_tests(12);

  std::filesystem::create_directories(scratch / "queries");
  {
    std::ofstream tags(scratch / "queries" / "tags.scm", std::ios::binary);
    tags << STRESS_TAGS;
  }
  CompiledInLoader loader(scratch.string());
  grammar_loader = &loader;
  std::string registered = register_copy("stress-py", "stresspy");
  if (registered.rfind("error: ", 0) == 0) {
    std::fprintf(stderr, "registration failed: %s\n", registered.c_str());
    return 1;
  }

  std::vector<Call> calls = build_calls(root, scratch);
  for (Call& call : calls) call.expected = answer(call);
  const Call probe{"analyse", "{\"content\":\"class A:\\n def f(self): pass\\n\",\"language\":\"stress-py\"}",
                   ""};
  const std::string probe_expected = answer(probe);

  std::atomic<std::size_t> done{0};
  std::atomic<std::size_t> mismatches{0};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::vector<std::thread> threads;
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t) + 1);
      while (std::chrono::steady_clock::now() < deadline) {
        const Call& call = calls[rng() % calls.size()];
        std::string got = answer(call);
        if (got != call.expected) {
          if (mismatches.fetch_add(1) < 5) {
            std::fprintf(stderr, "mismatch: %s %.200s\n  alone:    %.300s\n  together: %.300s\n",
                         call.command.c_str(), call.payload.c_str(), call.expected.c_str(), got.c_str());
          }
        }
        done.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  // Registrations racing the calls above: each new language answers as the
  // first copy does, under its own name.
  std::atomic<std::size_t> registrations{0};
  threads.emplace_back([&] {
    for (std::size_t i = 0; std::chrono::steady_clock::now() < deadline && i < 2000; ++i) {
      std::string name = "stress-" + std::to_string(i);
      std::string got = register_copy(name, "stress" + std::to_string(i));
      Call call = probe;
      call.payload.replace(call.payload.find("stress-py"), 9, name);
      std::string expected = probe_expected;
      expected.replace(expected.find("stress-py"), 9, name);
      expected.replace(expected.find("stress-py"), 9, name);
      std::string analysed = answer(call);
      answer({"languages", "{}", ""});
      if (got.rfind("error: ", 0) == 0 || analysed != expected) {
        if (mismatches.fetch_add(1) < 5) {
          std::fprintf(stderr, "registration %s: %.300s\n  analysed: %.300s\n", name.c_str(), got.c_str(),
                       analysed.c_str());
        }
      }
      registrations.fetch_add(1, std::memory_order_relaxed);
    }
  });
  for (std::thread& thread : threads) thread.join();
  std::filesystem::remove_all(scratch);

  std::size_t live = live_parser_blocks();
  std::printf(
      "%zu calls of %zu kinds on %d threads and %zu registrations in %.0f s: %zu mismatches, "
      "%zu parser blocks left\n",
      done.load(), calls.size(), thread_count, registrations.load(), seconds, mismatches.load(), live);
  return mismatches.load() == 0 && live == 0 ? 0 : 1;
}
