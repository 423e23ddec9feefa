// Digest and line count. A text without CR is hashed in place; a text with CR
// is normalised in one copy (the CR LF pass and the lone CR pass fused: a CR
// is dropped when LF follows it and becomes LF otherwise, which gives exactly
// what the two passes in sequence give).
#include "lib/digest.h"

#include <algorithm>
#include <cstring>
#include <openssl/evp.h>

#include "lib/internal_failure.h"

namespace marblewick {
namespace {

const EVP_MD* sha256_method() {
  // Fetched once: an implicit fetch on every digest costs a lookup and a lock.
  static const EVP_MD* method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  check_invariant(method != nullptr, "SHA-256 is not available from libcrypto");
  return method;
}

std::string hex_of(const unsigned char* bytes, unsigned length) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string hex(static_cast<std::size_t>(length) * 2, '0');
  for (unsigned i = 0; i < length; ++i) {
    hex[2 * i] = digits[bytes[i] >> 4];
    hex[2 * i + 1] = digits[bytes[i] & 0xF];
  }
  return hex;
}

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  int ok = EVP_Digest(bytes.data(), bytes.size(), digest, &length, sha256_method(), nullptr);
  check_invariant(ok == 1 && length == 32, "SHA-256 computation failed");
  return hex_of(digest, length);
}

}  // namespace

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

std::string content_digest(std::string_view text) {
  if (std::memchr(text.data(), '\r', text.size()) == nullptr) return sha256_hex(text);
  return sha256_hex(normalize_line_endings(text));
}

std::uint64_t count_lines(std::string_view text) {
  if (text.empty()) return 0;
  // Counted in blocks of at most 255 bytes into a byte-wide counter: the
  // compiler turns that loop into whole-vector compares, where std::count,
  // widening every byte to a 64-bit counter, took over a tenth of a scan's CPU.
  std::uint64_t lines = 1;
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    std::size_t block = std::min<std::size_t>(left, 255);
    unsigned char in_block = 0;
    for (std::size_t i = 0; i < block; ++i) in_block += static_cast<unsigned char>(p[i] == '\n');
    lines += in_block;
    p += block;
    left -= block;
  }
  return lines;
}

}  // namespace marblewick
