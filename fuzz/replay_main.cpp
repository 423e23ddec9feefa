// The replay driver: runs a fuzz target's LLVMFuzzerTestOneInput once on every
// file named on the command line and on every file under each folder named, so
// the committed corpus can be checked by any compiler's build, without libFuzzer.
// A failed property aborts; the path of the input being run is then written to
// standard error before the process dies with the signal.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// The input being run, kept where the signal handler can write it from.
char current_input[4096];

extern "C" void report_input_and_die(int signal_number) {
  constexpr char prefix[] = "replay failed on input: ";
  ssize_t ignored = write(STDERR_FILENO, prefix, sizeof prefix - 1);
  ignored = write(STDERR_FILENO, current_input, std::strlen(current_input));
  ignored = write(STDERR_FILENO, "\n", 1);
  (void)ignored;
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// Every input file, in a stable order; paths are made absolute up front, so a
// target may change its working directory.
std::vector<std::filesystem::path> collect_inputs(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path given = std::filesystem::absolute(argv[i]);
    if (std::filesystem::is_directory(given)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(given)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
    } else {
      inputs.push_back(given);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE_OR_FOLDER...\n", argv[0]);
    return 2;
  }
  for (int signal_number : {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP}) {
    signal(signal_number, report_input_and_die);
  }

  std::vector<std::filesystem::path> inputs = collect_inputs(argc, argv);
  for (const std::filesystem::path& input : inputs) {
    std::string name = input.string();
    std::snprintf(current_input, sizeof current_input, "%s", name.c_str());
    std::ifstream file(input, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", name.c_str());
      return 2;
    }
    std::vector<char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%s: %zu inputs replayed\n", std::filesystem::path(argv[0]).filename().c_str(), inputs.size());
  return 0;
}
