// obtain_source and resolve_language.
#include "syntax/source_input.h"

#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "base/error_texts.h"
#include "io/text_file.h"
#include "json/command_result.h"

namespace marblewick {

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

ResolvedLanguage resolve_language(const JsonValue& payload) {
  if (const std::string* language = payload.string_field("language")) {
    return resolve_language_name(*language);
  }
  if (const std::string* path = payload.string_field("path")) {
    if (std::optional<ResolvedLanguage> detected = detect_language(*path)) return std::move(*detected);
  }
  return ResolvedLanguage();
}

}  // namespace marblewick
