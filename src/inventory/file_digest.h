// digest_text_file and summarize_text_file: read_text_file, content_digest and
// count_lines in one, with a large file taken in pieces, never held whole.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/expected.h"

namespace marblewick {

// The content digest of a file's text, or read_text_file's error text.
Expected<std::string> digest_text_file(std::string_view path);

// What "scan" reports of a file's text.
struct TextFileSummary {
  std::string digest;
  std::uint64_t total_lines;
};

// The content digest and line count of a file's text, or read_text_file's
// error text. Works on the calling thread alone: meant for the scan workers,
// which already keep every CPU busy. Its memory is a few MiB at most,
// whatever the size of the file.
Expected<TextFileSummary> summarize_text_file(std::string_view path);

}  // namespace marblewick
