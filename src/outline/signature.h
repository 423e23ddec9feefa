// symbol_signature: the one-line summary of a declaration.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace marblewick {

// Signatures quote at most this many characters (Unicode scalar values).
inline constexpr std::size_t MAX_SIGNATURE_CHARS = 120;

// The first line of a declaration's source text, without its line ending,
// trimmed of Unicode white space at both ends and cut to MAX_SIGNATURE_CHARS
// characters. Text that is not UTF-8 gives the empty signature.
std::string symbol_signature(std::string_view node_text);

}  // namespace marblewick
