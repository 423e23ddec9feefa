// execute_command: payload parsing, the command table and result writing.
#pragma once

#include <string>
#include <string_view>

namespace marblewick {

// What a run call answers: the result JSON text, or the error message text that
// the boundary raises as RuntimeError.
struct CommandOutcome {
  bool failed = false;
  std::string text;
};

CommandOutcome execute_command(std::string_view command, std::string_view payload_text);

}  // namespace marblewick
