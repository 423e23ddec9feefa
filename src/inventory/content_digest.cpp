// Digest and line count. A text without CR is hashed where it lies; a text
// with CR is normalised in one copy. The CR LF pass and the lone CR pass are
// fused into one: a CR is dropped when LF follows it and becomes LF otherwise,
// which gives exactly what the two passes in sequence give (CR CR LF -> LF LF).
#include "inventory/content_digest.h"

#include <cstring>

#include "base/line_feeds.h"
#include "inventory/sha256.h"

namespace marblewick {

std::size_t normalize_line_endings_in_place(char* data, std::size_t size) {
  char* cr = static_cast<char*>(std::memchr(data, '\r', size));
  if (cr == nullptr) return size;
  char* out = cr;
  const char* in = cr;
  const char* end = data + size;
  while (in < end) {
    // Here *in is a CR: dropped before LF, otherwise it becomes LF.
    if (in + 1 < end && in[1] == '\n') {
      ++in;
    } else {
      *out++ = '\n';
      ++in;
    }
    const char* next = static_cast<const char*>(std::memchr(in, '\r', end - in));
    if (next == nullptr) next = end;
    std::memmove(out, in, next - in);
    out += next - in;
    in = next;
  }
  return out - data;
}

std::string normalize_line_endings(std::string_view text) {
  std::string out(text);
  out.resize(normalize_line_endings_in_place(out.data(), out.size()));
  return out;
}

std::string content_digest(std::string_view text) {
  if (std::memchr(text.data(), '\r', text.size()) == nullptr) return sha256_hex(text);
  return sha256_hex(normalize_line_endings(text));
}

std::uint64_t count_lines(std::string_view text) {
  return text.empty() ? 0 : 1 + count_line_feeds(text);
}

}  // namespace marblewick
