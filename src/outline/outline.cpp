// The "outline" command (not built yet).
#include "outline/outline.h"

namespace marblewick {

CommandResult outline_command(const JsonValue&) {
  return CommandResult::error("outline is not available yet in this build");
}

}  // namespace marblewick
