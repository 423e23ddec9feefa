// Looking languages up by name and by path extension.
#include "syntax/language.h"

#include <utility>

namespace marblewick {
namespace {

struct ExtensionWithoutGrammar {
  std::string_view extension;
  std::string_view name;
};

// Extensions that name a language the module has no grammar for: detected, so
// that results can say what the text is, but never parsed.
constexpr ExtensionWithoutGrammar EXTENSIONS_WITHOUT_GRAMMAR[] = {{"toml", "toml"}};
constexpr std::string_view NAMES_WITHOUT_GRAMMAR[] = {"toml"};

constexpr std::size_t longest_extension() {
  std::size_t longest = 0;
  for (const LanguageEntry& entry : LANGUAGE_TABLE) {
    for (std::string_view extension : entry.extensions) {
      if (extension.size() > longest) longest = extension.size();
    }
  }
  for (const ExtensionWithoutGrammar& entry : EXTENSIONS_WITHOUT_GRAMMAR) {
    if (entry.extension.size() > longest) longest = entry.extension.size();
  }
  return longest;
}

// Anything longer than the longest extension cannot match.
constexpr std::size_t MAX_EXTENSION_BYTES = longest_extension();

// Detection lower-cases the path's extension and takes the first row that
// matches, so a key with a capital letter, or one listed twice, would be a
// row that silently never applies.
constexpr bool extensions_are_lower_case_and_distinct() {
  std::string_view keys[32];
  std::size_t count = 0;
  auto add = [&](std::string_view key) {
    for (char c : key) {
      if (c >= 'A' && c <= 'Z') return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (keys[i] == key) return false;
    }
    if (key.empty() || count == std::size(keys)) return false;
    keys[count++] = key;
    return true;
  };
  for (const LanguageEntry& entry : LANGUAGE_TABLE) {
    for (std::string_view extension : entry.extensions) {
      if (!add(extension)) return false;
    }
  }
  for (const ExtensionWithoutGrammar& entry : EXTENSIONS_WITHOUT_GRAMMAR) {
    if (!add(entry.extension)) return false;
  }
  return true;
}
static_assert(extensions_are_lower_case_and_distinct(),
              "every extension key must be lower-case, non-empty and listed once");

std::optional<ResolvedLanguage> detect_registered(std::string_view extension) {
  const RegisteredLanguage* registered = registered_language_for_extension(extension);
  if (registered == nullptr) return std::nullopt;
  return ResolvedLanguage{std::nullopt, registered->name, registered};
}

}  // namespace

std::optional<Language> language_named(std::string_view name) {
  for (const LanguageEntry& entry : LANGUAGE_TABLE) {
    if (entry.name == name) return entry.language;
  }
  return std::nullopt;
}

const TSLanguage* ResolvedLanguage::grammar() const {
  if (known) return language_entry(*known).grammar();
  return registered != nullptr ? registered->grammar : nullptr;
}

ResolvedLanguage resolve_language_name(std::string name) {
  std::optional<Language> known = language_named(name);
  const RegisteredLanguage* registered = known ? nullptr : registered_language_named(name);
  return ResolvedLanguage{known, std::move(name), registered};
}

std::string_view builtin_language_for_extension(std::string_view extension) {
  for (const LanguageEntry& entry : LANGUAGE_TABLE) {
    for (std::string_view candidate : entry.extensions) {
      if (candidate == extension) return entry.name;
    }
  }
  for (const ExtensionWithoutGrammar& entry : EXTENSIONS_WITHOUT_GRAMMAR) {
    if (entry.extension == extension) return entry.name;
  }
  return {};
}

std::span<const std::string_view> names_without_grammar() { return NAMES_WITHOUT_GRAMMAR; }

std::optional<ResolvedLanguage> detect_language(std::string_view path) {
  // Separators are not looked at: in "lib.d/README" the extension is
  // "d/README", which names nothing, and a path without a dot is its own
  // extension, so a file called "ts" counts as TypeScript.
  std::size_t dot = path.rfind('.');
  std::string_view extension = dot == std::string_view::npos ? path : path.substr(dot + 1);
  if (extension.empty()) return std::nullopt;
  if (extension.size() > MAX_EXTENSION_BYTES) return detect_registered(extension);

  char lowered[MAX_EXTENSION_BYTES];
  std::size_t length = 0;
  for (char c : extension) {
    lowered[length++] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  std::string_view key(lowered, length);
  for (const LanguageEntry& entry : LANGUAGE_TABLE) {
    for (std::string_view candidate : entry.extensions) {
      if (candidate == key) return ResolvedLanguage{entry.language, std::string(entry.name)};
    }
  }
  for (const ExtensionWithoutGrammar& entry : EXTENSIONS_WITHOUT_GRAMMAR) {
    if (entry.extension == key) {
      return ResolvedLanguage{std::nullopt, std::string(entry.name), registered_language_named(entry.name)};
    }
  }
  return detect_registered(key);
}

}  // namespace marblewick
