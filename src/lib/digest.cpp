// Digest and line count. A text without CR is hashed in place; a text with CR
// is normalised in one copy (the CR LF pass and the lone CR pass fused: a CR
// is dropped when LF follows it and becomes LF otherwise, which gives exactly
// what the two passes in sequence give).
#include "lib/digest.h"

#include <algorithm>
#include <cstring>

#include "lib/sha256.h"

namespace marblewick {

std::string normalize_line_endings(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const void* found = std::memchr(text.data() + pos, '\r', text.size() - pos);
    if (found == nullptr) {
      out.append(text.data() + pos, text.size() - pos);
      break;
    }
    std::size_t cr = static_cast<const char*>(found) - text.data();
    out.append(text.data() + pos, cr - pos);
    bool lf_follows = cr + 1 < text.size() && text[cr + 1] == '\n';
    if (!lf_follows) out.push_back('\n');
    pos = cr + 1;
  }
  return out;
}

void StreamingLineEndings::feed(std::string_view chunk, std::string& out) {
  std::size_t pos = 0;
  if (pending_cr_ && !chunk.empty()) {
    // The CR that ended the previous chunk: dropped before LF, else it is the line break.
    if (chunk[0] != '\n') out.push_back('\n');
    pending_cr_ = false;
  }
  while (pos < chunk.size()) {
    const void* found = std::memchr(chunk.data() + pos, '\r', chunk.size() - pos);
    if (found == nullptr) {
      out.append(chunk.data() + pos, chunk.size() - pos);
      return;
    }
    std::size_t cr = static_cast<const char*>(found) - chunk.data();
    out.append(chunk.data() + pos, cr - pos);
    if (cr + 1 == chunk.size()) {
      pending_cr_ = true;
      return;
    }
    if (chunk[cr + 1] != '\n') out.push_back('\n');
    pos = cr + 1;
  }
}

void StreamingLineEndings::finish(std::string& out) {
  if (pending_cr_) out.push_back('\n');
  pending_cr_ = false;
}

std::string content_digest(std::string_view text) {
  if (std::memchr(text.data(), '\r', text.size()) == nullptr) return sha256_hex(text);
  return sha256_hex(normalize_line_endings(text));
}

std::uint64_t count_lines(std::string_view text) {
  if (text.empty()) return 0;
  return 1 + static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace marblewick
