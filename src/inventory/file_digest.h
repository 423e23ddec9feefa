// digest_text_file and summarize_text_file: what "hash" and "scan" report of a
// file, read in pieces so that no file is ever held whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/expected.h"
#include "io/file_status.h"

namespace marblewick {

// The content digest of a file's text: SHA-256 of the text after CR LF, and
// then every remaining lone CR, have become LF, as 64 lower-case hex digits.
// Or read_text_file's error, whose kinds it shares: out_of_memory also when the
// buffers for its pieces are refused.
Expected<std::string> digest_text_file(std::string_view path);

// What "scan" reports of a file's text.
struct TextFileSummary {
  std::string digest;
  std::uint64_t total_lines;
  // The file's status as it was opened, before the first byte was read: a
  // change made while it is read moves its times past this status.
  std::optional<FileStatus> status;
};

// The content digest and line count (0 for an empty text, else 1 plus the
// number of LF bytes) of a file's text, or an error as digest_text_file's. Works
// on the calling thread alone: meant for the scan workers, which already keep
// every CPU busy. It holds about 1 MiB, whatever the size of the file.
Expected<TextFileSummary> summarize_text_file(std::string_view path);

}  // namespace marblewick
