// TextPieces. A piece is cut where the whole text would not be: never inside a
// UTF-8 sequence, which would fail the check on either side, and never between
// a CR and the byte after it, which decides whether the CR is dropped (before
// LF) or becomes LF. Both are carried into the next piece, so every byte is
// checked, counted and normalised exactly once, with what follows it in view.
#include "inventory/text_pieces.h"

#include <cstring>

#include "base/line_feeds.h"
#include "inventory/content_digest.h"

namespace marblewick {

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
