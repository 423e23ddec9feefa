// The "syntax-check" command (not built yet).
#include "syntax/syntax_check.h"

namespace marblewick {

CommandResult syntax_check_command(const JsonValue&) {
  return CommandResult::error("syntax-check is not available yet in this build");
}

}  // namespace marblewick
