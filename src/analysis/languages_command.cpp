// languages_command: read from the two tables, without a lock.
#include "analysis/languages_command.h"

#include <string>
#include <utility>
#include <vector>

#include "syntax/grammar_registry.h"
#include "syntax/language.h"

namespace marblewick {
namespace {

JsonObject language_object(std::string_view name, JsonArray extensions, bool grammar, bool outline,
                           bool registered) {
  JsonObject object;
  object.emplace("extensions", JsonValue(std::move(extensions)));
  object.emplace("grammar", JsonValue(grammar));
  object.emplace("name", JsonValue(name));
  object.emplace("outline", JsonValue(outline));
  object.emplace("registered", JsonValue(registered));
  return object;
}

}  // namespace

CommandResult languages_command(const JsonValue&) {
  JsonArray languages;
  for (const LanguageEntry& entry : LANGUAGE_TABLE) {
    JsonArray extensions;
    for (std::string_view extension : entry.extensions) extensions.emplace_back(extension);
    languages.emplace_back(
        language_object(entry.name, std::move(extensions), true, entry.has_outline_rules, false));
  }
  for (std::string_view name : names_without_grammar()) {
    if (registered_language_named(name) != nullptr) continue;
    JsonArray extensions;
    extensions.emplace_back(name);
    languages.emplace_back(language_object(name, std::move(extensions), false, false, false));
  }
  for (const RegisteredLanguage* entry : registered_languages()) {
    JsonArray extensions;
    std::vector<std::string_view> listed;
    for (std::string_view name : names_without_grammar()) {
      if (name == entry->name && builtin_language_for_extension(name) == name) listed.push_back(name);
    }
    for (const std::string& extension : entry->extensions) {
      bool seen = false;
      for (std::string_view earlier : listed) seen = seen || earlier == extension;
      if (!seen) listed.push_back(extension);
    }
    for (std::string_view extension : listed) extensions.emplace_back(extension);
    JsonObject object =
        language_object(entry->name, std::move(extensions), true, entry->tags != nullptr, true);
    object.emplace("abi_version", JsonValue(std::uint64_t{entry->abi_version}));
    object.emplace("function", JsonValue(entry->function));
    object.emplace("package", JsonValue(entry->package));
    languages.emplace_back(std::move(object));
  }
  JsonObject result;
  result.emplace("languages", JsonValue(std::move(languages)));
  return success_object(std::move(result));
}

}  // namespace marblewick
