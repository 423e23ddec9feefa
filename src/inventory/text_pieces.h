// TextPieces: a text taken in consecutive pieces of any size, giving the same
// UTF-8 verdict, digest input and line count as the whole text would, so a
// large file is digested and counted without ever being held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/utf8.h"

namespace marblewick {

class TextPieces {
 public:
  // What a piece could not finish and the next one starts with: a CR whose LF
  // may follow, then an unfinished UTF-8 sequence. A piece buffer holds this
  // much room in front of its fresh bytes.
  static constexpr std::size_t MAX_CARRY = 1 + (MAX_UTF8_SEQUENCE_BYTES - 1);

  // `count_lines`: whether line_count() is wanted; "hash" needs no count.
  explicit TextPieces(bool count_lines) : count_lines_(count_lines) {}

  // Writes the bytes carried from the previous piece at the front of `piece`
  // and gives their number: the piece's fresh bytes go right after them.
  std::size_t begin_piece(char* piece);

  // Takes the piece's `size` bytes (carry included); `last` when no byte
  // follows them. Checks their UTF-8, counts their LFs, normalises their line
  // endings in place and keeps back what the next piece must finish. Gives the
  // normalised bytes to hash, inside `piece`; nothing once the text has proved
  // invalid, since its digest will never count.
  std::string_view end_piece(char* piece, std::size_t size, bool last);

  // Whether every byte taken so far is part of valid UTF-8 (an unfinished
  // sequence at the end counts as valid until the last piece says otherwise).
  bool valid() const noexcept { return valid_; }

  // 0 for an empty text, else 1 plus its LF bytes; meaningful once the last
  // piece of a valid text was taken by an instance built to count.
  std::uint64_t line_count() const noexcept { return empty_ ? 0 : 1 + line_feeds_; }

 private:
  const bool count_lines_;
  bool valid_ = true;
  char carry_[MAX_CARRY];
  std::size_t carry_size_ = 0;
  bool empty_ = true;
  std::uint64_t line_feeds_ = 0;
};

}  // namespace marblewick
