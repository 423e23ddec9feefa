// The "hash" command.
#include "lib/hash_command.h"

#include "lib/digest.h"
#include "lib/file_text.h"

namespace marblewick {

CommandResult hash_command(const JsonValue& payload) {
  const std::string* path = payload.string_field("path");
  if (path == nullptr) return missing_field_error("path");

  Expected<TextBuffer> text = read_text_file(*path);
  if (!text) return CommandResult::error(std::move(text).error());

  JsonObject result;
  result.emplace("hash", content_digest(text.value().view()));
  return CommandResult::success(std::move(result));
}

}  // namespace marblewick
