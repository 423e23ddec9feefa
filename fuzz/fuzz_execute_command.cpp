// execute_command on any command name and payload. The answer is either an
// error text or a compact JSON object holding "ok": true, and it is UTF-8, as
// the boundary needs to hand it over as a str.
//
// The input's first byte picks the command name: mostly one of the real ones
// or a near miss, else the name is the rest of the input up to its first NUL
// and the payload what follows. Inputs that are not UTF-8 are skipped, since
// both texts come from Python strings.
//
// Commands read the files their payload names, so each call runs inside a
// small scratch tree of its own, and payloads that name an absolute path or
// step up with ".." are skipped: the fuzzer never reaches the rest of the disk.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "base/error_texts.h"
#include "fuzz_support.h"
#include "module/dispatch.h"

using namespace marblewick;
using namespace std::string_view_literals;

namespace {

constexpr std::string_view REAL_COMMANDS[] = {"syntax-check", "outline", "hash", "scan", "analyse"};

// Half of the selectors name a real command; some name a near miss; the rest
// take the name from the input.
constexpr std::string_view COMMAND_CHOICES[] = {
    "syntax-check", "outline", "hash",  "scan",         "syntax-check", "outline", "analyse",
    "scan",         "Hash",    "scan ", "syntax_check", "outlin",       "",        "hash\0"sv,
};
constexpr std::size_t SELECTORS = 16;

bool is_real_command(std::string_view name) {
  for (std::string_view real : REAL_COMMANDS) {
    if (name == real) return true;
  }
  return false;
}

// The files of the scratch tree: sources of each language with LF, CR LF and
// CR endings, an empty file, a file that is not UTF-8, folders the scan skips,
// a link to a file and one to its own folder, and a FIFO.
struct ScratchFile {
  const char* path;
  std::string_view bytes;
};
constexpr ScratchFile SCRATCH_FILES[] = {
    {"a.py", "import os\n\nclass A:\n    def f(self, x):\n        return x\n"},
    {"b.rs", "struct P;\r\nimpl P {\r\n    fn f(&self) {}\r\n}\r\n"},
    {"c.ts", "interface I { a: number }\rexport function f(): I { return { a: 1 } }\r"},
    {"d.json", "{\"a\": [1, 2.5, null]}"},
    {"e.md", ""},
    {"latin1.py", "caf\xe9 = 1\n"},
    {"Cargo.toml", "[package]\nname = \"x\"\n"},
    {"sub/f.tsx", "export const C = () => <div>{1}</div>;\n"},
    {"sub/deep/g.js", "function g() {\n"},
    {"sub/x.", "no extension"},
    {"node_modules/h.js", "var h;\n"},
    {"target/i.rs", "fn i() {}\n"},
    {".github/j.yml", "on: push\n"},
};

class ScratchTree {
 public:
  ScratchTree() {
    home_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_PROPERTY(home_ >= 0);
    std::string pattern = std::filesystem::temp_directory_path() / "marblewick-fuzz-XXXXXX";
    FUZZ_PROPERTY(mkdtemp(pattern.data()) != nullptr);
    root_ = pattern;
    for (const ScratchFile& file : SCRATCH_FILES) {
      std::filesystem::path path = root_ / file.path;
      std::filesystem::create_directories(path.parent_path());
      std::ofstream(path, std::ios::binary)
          .write(file.bytes.data(), static_cast<std::streamsize>(file.bytes.size()));
    }
    std::filesystem::create_symlink("a.py", root_ / "link.py");
    std::filesystem::create_directory_symlink(".", root_ / "here");
    FUZZ_PROPERTY(mkfifo((root_ / "pipe.py").c_str(), 0600) == 0);
    inside_ = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_PROPERTY(inside_ >= 0);
  }
  ScratchTree(const ScratchTree&) = delete;
  ScratchTree& operator=(const ScratchTree&) = delete;
  ~ScratchTree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // Runs one command with the scratch tree as working directory; the
  // fuzzer's own files (corpus, artifacts) stay relative to where it started.
  Expected<std::string> execute(std::string_view command, std::string_view payload) const {
    FUZZ_PROPERTY(fchdir(inside_) == 0);
    Expected<std::string> result = execute_command(command, payload);
    FUZZ_PROPERTY(fchdir(home_) == 0);
    return result;
  }

 private:
  int home_ = -1;
  int inside_ = -1;
  std::filesystem::path root_;
};

// Whether any string of the payload could lead outside the scratch tree.
bool leaves_scratch_tree(const JsonValue& value) {
  if (const std::string* text = value.as_string()) {
    return (!text->empty() && text->front() == '/') || text->find("..") != std::string::npos;
  }
  if (const JsonArray* array = value.as_array()) {
    for (const JsonValue& element : *array) {
      if (leaves_scratch_tree(element)) return true;
    }
  }
  if (const JsonObject* object = value.as_object()) {
    for (const auto& member : *object) {
      if (leaves_scratch_tree(member.second)) return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view rest = fuzz::as_text(data + 1, size - 1);
  if (!is_valid_utf8(rest)) return -1;

  std::size_t selector = data[0] % SELECTORS;
  std::string_view command;
  std::string_view payload;
  if (selector < std::size(COMMAND_CHOICES)) {
    command = COMMAND_CHOICES[selector];
    payload = rest;
  } else {
    std::size_t nul = rest.find('\0');
    command = rest.substr(0, nul);
    payload = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
  }

  Expected<JsonValue> parsed = parse_json_text(payload);
  if (parsed && leaves_scratch_tree(parsed.value())) return -1;

  static const ScratchTree scratch;
  Expected<std::string> result = scratch.execute(command, payload);
  if (!result) {
    const ErrorText& error = result.error();
    // The payload is read first, whatever the command; then the name is looked up.
    if (!parsed) {
      FUZZ_PROPERTY(error.message == parsed.error().message && error.offset == parsed.error().offset);
      fuzz::check_payload_error(error, payload);
      return 0;
    }
    fuzz::check_command_error(error);
    if (!is_real_command(command)) {
      FUZZ_PROPERTY(error.kind == ErrorKind::request &&
                    error.message == std::string(UNKNOWN_COMMAND_PREFIX) + std::string(command));
    } else if (command == "scan") {
      // Files that cannot be read only make a scan shorter: in the scratch
      // tree it can fail only for want of its root.
      FUZZ_PROPERTY(error.kind == ErrorKind::request);
    }
    return 0;
  }
  FUZZ_PROPERTY(is_real_command(command));
  fuzz::check_success_object(fuzz::parse_result_text(result.value()));
  return 0;
}
