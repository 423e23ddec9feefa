// JsonValue: the value tree of payloads and results. Objects keep their members
// in ascending byte order of the keys, so writing them needs no sorting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace marblewick {

class JsonValue;
using JsonArray = std::vector<JsonValue>;
// std::string compares through char_traits<char>, which orders bytes as unsigned.
using JsonObject = std::map<std::string, JsonValue, std::less<>>;

class JsonValue {
 public:
  using Storage = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string,
                               JsonArray, JsonObject>;

  JsonValue() : storage_(nullptr) {}
  JsonValue(std::nullptr_t) : storage_(nullptr) {}
  JsonValue(bool b) : storage_(b) {}
  JsonValue(std::uint64_t n) : storage_(n) {}
  JsonValue(std::int64_t n) : storage_(n) {}
  JsonValue(double d) : storage_(d) {}
  JsonValue(std::string s) : storage_(std::move(s)) {}
  JsonValue(std::string_view s) : storage_(std::string(s)) {}
  JsonValue(const char* s) : storage_(std::string(s)) {}
  JsonValue(JsonArray a) : storage_(std::move(a)) {}
  JsonValue(JsonObject o) : storage_(std::move(o)) {}

  // Counts, lines and columns in results are non-negative integers.
  static JsonValue count(std::size_t n) { return JsonValue(static_cast<std::uint64_t>(n)); }

  const Storage& storage() const noexcept { return storage_; }

  const JsonObject* as_object() const noexcept { return std::get_if<JsonObject>(&storage_); }
  const JsonArray* as_array() const noexcept { return std::get_if<JsonArray>(&storage_); }
  const std::string* as_string() const noexcept { return std::get_if<std::string>(&storage_); }
  JsonObject* as_object() noexcept { return std::get_if<JsonObject>(&storage_); }
  JsonArray* as_array() noexcept { return std::get_if<JsonArray>(&storage_); }

  // Payload field access: a field of another JSON kind than the one asked for
  // counts as absent, exactly like a missing key or a payload that is no object.
  const JsonValue* field(std::string_view key) const;
  const std::string* string_field(std::string_view key) const;
  const JsonArray* array_field(std::string_view key) const;
  const JsonObject* object_field(std::string_view key) const;
  // Only the unsigned-integer representation is a count: 10.0, 1e1, -1 are not.
  std::optional<std::uint64_t> count_field(std::string_view key) const;
  // A flag: only the JSON value true turns it on; false, any other value, or
  // none, keeps it off.
  bool flag_field(std::string_view key) const;

 private:
  Storage storage_;
};

}  // namespace marblewick
