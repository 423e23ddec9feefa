// execute_command: payload parsing, the command table and result writing.
#pragma once

#include <string>
#include <string_view>

#include "base/expected.h"

namespace marblewick {

// What a run call answers: the result JSON text, or the error text that the
// boundary raises as RuntimeError.
Expected<std::string> execute_command(std::string_view command, std::string_view payload_text);

}  // namespace marblewick
