// The "scan" command (not built yet).
#include "lib/scan_command.h"

namespace marblewick {

CommandResult scan_command(const JsonValue&) {
  return CommandResult::error("scan is not available yet in this build");
}

}  // namespace marblewick
