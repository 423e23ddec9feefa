// TextPieces. A piece is cut where the whole text would not be: never inside a
// UTF-8 sequence, which would fail the check on either side, and never between
// a CR and the byte after it, which decides whether the CR is dropped (before
// LF) or becomes LF. Both are carried into the next piece, so every byte is
// checked, counted and normalised exactly once, with what follows it in view.
#include "inventory/text_pieces.h"

#include <cstring>

#include "base/line_feeds.h"

namespace marblewick {
namespace {

// CR LF, then every remaining lone CR, become LF, in place (the text only
// shrinks); gives the new size. The two passes are fused into one: a CR is
// dropped when LF follows it and becomes LF otherwise, which gives exactly
// what the two passes in sequence give (CR CR LF -> LF LF). A CR at the very
// end becomes LF, which is why a piece that is not the last keeps it back.
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

}  // namespace

std::size_t TextPieces::begin_piece(char* piece) {
  std::memcpy(piece, carry_, carry_size_);
  return carry_size_;
}

std::string_view TextPieces::end_piece(char* piece, std::size_t size, bool last) {
  if (size > 0) empty_ = false;
  carry_size_ = 0;
  if (!valid_) return {};

  std::string_view bytes(piece, size);
  std::size_t complete = last ? size : end_of_complete_sequences(bytes);
  if (!is_valid_utf8(bytes.substr(0, complete))) {
    valid_ = false;
    return {};
  }
  if (!last && complete > 0 && piece[complete - 1] == '\r') --complete;
  carry_size_ = size - complete;
  std::memcpy(carry_, piece + complete, carry_size_);

  if (count_lines_) line_feeds_ += count_line_feeds(bytes.substr(0, complete));
  return {piece, normalize_line_endings_in_place(piece, complete)};
}

}  // namespace marblewick
