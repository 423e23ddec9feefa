// Payload field access on JsonValue.
#include "json/json_value.h"

namespace marblewick {

const JsonValue* JsonValue::field(std::string_view key) const {
  const JsonObject* object = as_object();
  if (object == nullptr) return nullptr;
  auto found = object->find(key);
  return found == object->end() ? nullptr : &found->second;
}

const std::string* JsonValue::string_field(std::string_view key) const {
  const JsonValue* value = field(key);
  return value == nullptr ? nullptr : value->as_string();
}

const JsonArray* JsonValue::array_field(std::string_view key) const {
  const JsonValue* value = field(key);
  return value == nullptr ? nullptr : value->as_array();
}

const JsonObject* JsonValue::object_field(std::string_view key) const {
  const JsonValue* value = field(key);
  return value == nullptr ? nullptr : value->as_object();
}

std::optional<std::uint64_t> JsonValue::count_field(std::string_view key) const {
  const JsonValue* value = field(key);
  if (value == nullptr) return std::nullopt;
  if (const auto* n = std::get_if<std::uint64_t>(&value->storage_)) return *n;
  return std::nullopt;
}

bool JsonValue::flag_field(std::string_view key) const {
  const JsonValue* value = field(key);
  if (value == nullptr) return false;
  const bool* flag = std::get_if<bool>(&value->storage_);
  return flag != nullptr && *flag;
}

}  // namespace marblewick
