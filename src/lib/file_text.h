// read_text_file: the one way every command reads a file.
#pragma once

#include <string>
#include <string_view>

#include "lib/expected.h"
#include "lib/text_buffer.h"

namespace marblewick {

// Reads a whole file as UTF-8 text, unaltered. Errors: "file name contained an
// unexpected NUL byte", "<system description> (os error N)", "not a regular
// file" (FIFOs, sockets and devices, refused before any read), "stream did not
// contain valid UTF-8", "out of memory". Safe to call from several threads.
Expected<TextBuffer> read_text_file(std::string_view path);

// "<description of errno> (os error <errno>)".
std::string os_error_text(int error_number);

}  // namespace marblewick
