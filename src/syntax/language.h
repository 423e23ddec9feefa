// The language registry: the languages the module has a grammar for, and what
// the analysis commands know of each, in one table. Everything that turns a
// name or a path into a language, picks a grammar or asks whether an outline
// exists goes through it.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <tree_sitter/api.h>

#include "syntax/grammar_registry.h"

// The grammars are compiled into the module; their entry points return static
// tables, so nothing is created or freed for them.
extern "C" {
const TSLanguage* tree_sitter_python(void);
const TSLanguage* tree_sitter_javascript(void);
const TSLanguage* tree_sitter_typescript(void);
const TSLanguage* tree_sitter_tsx(void);
const TSLanguage* tree_sitter_rust(void);
const TSLanguage* tree_sitter_json(void);
}

namespace marblewick {

// A language with a built-in grammar. The values index LANGUAGE_TABLE, and
// their order is the one the fuzz targets select from, so a new language goes
// at the end.
enum class Language : unsigned char { PYTHON, JAVASCRIPT, TYPESCRIPT, TSX, RUST, JSON };

struct LanguageEntry {
  Language language;
  // The name callers write and results repeat, matched byte for byte.
  std::string_view name;
  // The path extensions that select the language, lower-case, without the dot.
  std::span<const std::string_view> extensions;
  const TSLanguage* (*grammar)(void);
  // Whether "outline" lists declarations in it; the outline layer holds the
  // rules themselves and checks at compile time that it agrees.
  bool has_outline_rules;
};

namespace language_extensions {
inline constexpr std::string_view PYTHON[] = {"py"};
// ".jsx" is plain JavaScript, not the TSX dialect.
inline constexpr std::string_view JAVASCRIPT[] = {"js", "mjs", "cjs", "jsx"};
inline constexpr std::string_view TYPESCRIPT[] = {"ts", "mts", "cts"};
inline constexpr std::string_view TSX[] = {"tsx"};
inline constexpr std::string_view RUST[] = {"rs"};
inline constexpr std::string_view JSON[] = {"json"};
}  // namespace language_extensions

// "typescript" is the dialect without JSX, "tsx" the one with it. JSON holds
// data, not declarations, so it has no outline.
inline constexpr LanguageEntry LANGUAGE_TABLE[] = {
    {Language::PYTHON, "python", language_extensions::PYTHON, tree_sitter_python, true},
    {Language::JAVASCRIPT, "javascript", language_extensions::JAVASCRIPT, tree_sitter_javascript, true},
    {Language::TYPESCRIPT, "typescript", language_extensions::TYPESCRIPT, tree_sitter_typescript, true},
    {Language::TSX, "tsx", language_extensions::TSX, tree_sitter_tsx, true},
    {Language::RUST, "rust", language_extensions::RUST, tree_sitter_rust, true},
    {Language::JSON, "json", language_extensions::JSON, tree_sitter_json, false},
};

inline constexpr std::size_t LANGUAGE_COUNT = std::size(LANGUAGE_TABLE);

constexpr bool table_follows_the_enum() {
  for (std::size_t i = 0; i < LANGUAGE_COUNT; ++i) {
    if (static_cast<std::size_t>(LANGUAGE_TABLE[i].language) != i) return false;
  }
  return true;
}
static_assert(table_follows_the_enum(), "LANGUAGE_TABLE rows must follow the order of Language");

constexpr const LanguageEntry& language_entry(Language language) {
  return LANGUAGE_TABLE[static_cast<std::size_t>(language)];
}

constexpr bool has_outline_rules(Language language) { return language_entry(language).has_outline_rules; }

// A language name as a command resolved it: `known` when the name is one of
// the table's (compared byte for byte), `registered` when it names a grammar
// registered at run time instead, and the name itself, which results report
// whether known or not: "toml" from a path, any name a caller gives, or "" for
// none.
struct ResolvedLanguage {
  std::optional<Language> known;
  std::string name;
  const RegisteredLanguage* registered = nullptr;

  bool has_grammar() const { return known.has_value() || registered != nullptr; }
  const TSLanguage* grammar() const;
};

// The table's language with exactly this name, else none: no case folding, no
// trimming, and the empty name is none.
std::optional<Language> language_named(std::string_view name);

// A name given by a caller, kept byte for byte.
ResolvedLanguage resolve_language_name(std::string name);

// The language named by the text after the last "." of the whole path, its
// ASCII letters lower-cased; none when that names nothing. The built-in table
// is consulted first, so no registration changes what it detects; a
// registered grammar for a name it detects without one ("toml") applies.
std::optional<ResolvedLanguage> detect_language(std::string_view path);

// The name the built-in table detects for an extension (lower-case, without
// the dot), grammar or not; empty when it has none.
std::string_view builtin_language_for_extension(std::string_view extension);

// The names the built-in table detects without having a grammar ("toml").
std::span<const std::string_view> names_without_grammar();

}  // namespace marblewick
