// The "hash" command.
#include "inventory/hash_command.h"

#include "inventory/file_digest.h"

namespace marblewick {

CommandResult hash_command(const JsonValue& payload) {
  const std::string* path = payload.string_field("path");
  if (path == nullptr) return missing_field_error("path");

  Expected<std::string> digest = digest_text_file(*path);
  if (!digest) return std::move(digest).error();

  JsonObject result;
  result.emplace("hash", std::move(digest).value());
  return success_object(std::move(result));
}

}  // namespace marblewick
