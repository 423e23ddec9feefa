// content_digest and count_lines: what "hash" and "scan" report of a text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace marblewick {

// CR LF, then every remaining lone CR, become LF; CR CR LF gives LF LF.
std::string normalize_line_endings(std::string_view text);

// The same normalisation over a text that arrives in pieces: a CR at the end
// of one piece waits for the first byte of the next.
class StreamingLineEndings {
 public:
  // Appends the normalised form of `chunk` to `out`.
  void feed(std::string_view chunk, std::string& out);
  // Appends what a CR left pending at the very end of the text becomes.
  void finish(std::string& out);
  bool pending_cr() const noexcept { return pending_cr_; }

 private:
  bool pending_cr_ = false;
};

// SHA-256 of the line-ending-normalised text as 64 lower-case hex digits.
std::string content_digest(std::string_view text);

// 0 for an empty text, else 1 plus the number of LF bytes (CR is not counted).
std::uint64_t count_lines(std::string_view text);

}  // namespace marblewick
