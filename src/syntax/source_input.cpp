// obtain_source, resolve_language and detect_language.
#include "syntax/source_input.h"

#include <cstring>

#include "base/error_texts.h"
#include "io/text_file.h"
#include "json/command_result.h"

namespace marblewick {
namespace {

struct ExtensionEntry {
  std::string_view extension;
  std::string_view language;
};

// Keys are lower-case; ".jsx" is plain JavaScript, not the TSX dialect.
constexpr ExtensionEntry EXTENSION_TABLE[] = {
    {"py", "python"},     {"rs", "rust"},       {"js", "javascript"}, {"mjs", "javascript"},
    {"cjs", "javascript"}, {"jsx", "javascript"}, {"ts", "typescript"}, {"mts", "typescript"},
    {"cts", "typescript"}, {"tsx", "tsx"},        {"json", "json"},     {"toml", "toml"},
};

// The longest key in the table; anything longer cannot match.
constexpr std::size_t MAX_EXTENSION_BYTES = 4;

}  // namespace

Expected<TextBuffer> obtain_source(const JsonValue& payload) {
  if (const std::string* content = payload.string_field("content")) {
    // Exhausted memory is an error, never an empty text checked as the caller's.
    TextBuffer text;
    if (!text.reserve(content->size())) return out_of_memory_error();
    if (!content->empty()) std::memcpy(text.data(), content->data(), content->size());
    text.set_size(content->size());
    return text;
  }
  if (const std::string* path = payload.string_field("path")) return read_text_file(*path);
  return missing_field_error("content or path");
}

LanguageId resolve_language(const JsonValue& payload) {
  if (const std::string* language = payload.string_field("language")) return *language;
  if (const std::string* path = payload.string_field("path")) {
    return detect_language(*path).value_or(LanguageId());
  }
  return LanguageId();
}

std::optional<LanguageId> detect_language(std::string_view path) {
  // Separators are not looked at: in "lib.d/README" the extension is
  // "d/README", which names nothing, and a path without a dot is its own
  // extension, so a file called "ts" counts as TypeScript.
  std::size_t dot = path.rfind('.');
  std::string_view extension = dot == std::string_view::npos ? path : path.substr(dot + 1);
  if (extension.empty() || extension.size() > MAX_EXTENSION_BYTES) return std::nullopt;

  char lowered[MAX_EXTENSION_BYTES];
  for (std::size_t i = 0; i < extension.size(); ++i) {
    char c = extension[i];
    lowered[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  std::string_view key(lowered, extension.size());
  for (const ExtensionEntry& entry : EXTENSION_TABLE) {
    if (entry.extension == key) return LanguageId(entry.language);
  }
  return std::nullopt;
}

}  // namespace marblewick
