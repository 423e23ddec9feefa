// Property: a text taken by TextPieces in pieces of any sizes gives the same
// UTF-8 verdict as the whole text and, when valid, the same digest and line
// count as a plain rendering of the rules over the whole text.
//
// Input: byte 0 holds in its low four bits how many piece sizes follow (none:
// the text is one piece) and in bit 4 whether an empty last piece ends the
// text, as it does for a file whose size is a whole number of pieces; then the
// piece sizes, one byte each, used in turn; the rest is the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "fuzz_support.h"
#include "inventory/sha256.h"
#include "inventory/text_pieces.h"

using namespace marblewick;

namespace {

// The digest of a whole text, in one piece.
std::string sha256_hex(std::string_view bytes) {
  Sha256Stream digest;
  digest.update(bytes);
  return digest.finish_hex();
}

// The rules as written: CR LF becomes LF, then every CR left becomes LF.
std::string reference_normalised(std::string_view text) {
  std::string crlf_done;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    crlf_done.push_back(text[i]);
  }
  for (char& c : crlf_done) {
    if (c == '\r') c = '\n';
  }
  return crlf_done;
}

std::uint64_t reference_line_count(std::string_view text) {
  std::uint64_t feeds = 0;
  for (char c : text) feeds += c == '\n';
  return text.empty() ? 0 : 1 + feeds;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t size_count = data[0] & 0x0F;
  const bool empty_last_piece = (data[0] & 0x10) != 0;
  if (size < 1 + size_count) return 0;
  const std::uint8_t* sizes = data + 1;
  const std::string_view text = fuzz::as_text(data + 1 + size_count, size - 1 - size_count);

  TextPieces pieces(/*count_lines=*/true);
  Sha256Stream sha;
  std::size_t taken = 0;
  bool all_sizes_zero = true;
  for (std::size_t i = 0; i < size_count; ++i) all_sizes_zero = all_sizes_zero && sizes[i] == 0;

  bool reached_end = false;
  for (std::size_t turn = 0;; ++turn) {
    std::size_t fresh = text.size() - taken;
    // A full round of empty pieces is fed before the rest goes in at once.
    if (size_count > 0 && !(all_sizes_zero && turn >= size_count)) {
      fresh = std::min<std::size_t>(fresh, sizes[turn % size_count]);
    }
    const bool last = taken + fresh == text.size() && (!empty_last_piece || reached_end);
    // Exactly the room the piece needs, so the sanitizers see any overrun.
    std::vector<char> piece(TextPieces::MAX_CARRY + fresh);
    std::size_t filled = pieces.begin_piece(piece.data());
    FUZZ_PROPERTY(filled <= TextPieces::MAX_CARRY);
    std::memcpy(piece.data() + filled, text.data() + taken, fresh);
    filled += fresh;
    taken += fresh;

    std::string_view normalised = pieces.end_piece(piece.data(), filled, last);
    FUZZ_PROPERTY(normalised.size() <= filled);
    FUZZ_PROPERTY(normalised.empty() || normalised.data() == piece.data());
    sha.update(normalised);
    if (last) break;
    reached_end = taken == text.size();
  }

  const bool valid = is_valid_utf8(text);
  FUZZ_PROPERTY(pieces.valid() == valid);
  if (valid) {
    FUZZ_PROPERTY(sha.finish_hex() == sha256_hex(reference_normalised(text)));
    FUZZ_PROPERTY(pieces.line_count() == reference_line_count(text));
  }
  return 0;
}
