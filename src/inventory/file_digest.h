// digest_text_file: read_text_file and content_digest in one, with the hashing
// of a large file overlapping its reading.
#pragma once

#include <string>
#include <string_view>

#include "base/expected.h"

namespace marblewick {

// The content digest of a file's text, or read_text_file's error text.
Expected<std::string> digest_text_file(std::string_view path);

}  // namespace marblewick
