// The grammars registered at run time: process-wide, append-only, and alive
// until the process ends, like the compiled-in ones.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

namespace marblewick {

// The compiled tags query of a registered language, made and read by the
// outline layer only; here it is an address that says an outline exists.
struct TagsOutline;

// One registration. Made once, never changed, moved or freed after it is
// published, so a call may hold a pointer to it for as long as it likes.
struct RegisteredLanguage {
  std::string name;
  std::string package;
  std::string function;
  // Lower-case, without the dot, in the order given, each once.
  std::vector<std::string> extensions;
  const TSLanguage* grammar = nullptr;
  std::uint32_t abi_version = 0;
  // Null when the language has no tags query.
  const TagsOutline* tags = nullptr;
};

// The most registrations one process holds.
inline constexpr std::size_t MAX_REGISTERED_LANGUAGES = 4096;

// Readers take no lock: a registration is built whole, then published by one
// release store of the count, which readers load with acquire, so a reader
// sees only entries that are complete. Writers are serialised by a mutex.
// Both lookups compare the name and extensions byte for byte; the extension
// given is lower-cased (ASCII) first.
const RegisteredLanguage* registered_language_named(std::string_view name);
const RegisteredLanguage* registered_language_for_extension(std::string_view extension);

// Every registration so far, in the order they were made.
std::vector<const RegisteredLanguage*> registered_languages();

// What publish_registration did.
enum class PublishOutcome { published, same_again, name_taken, extension_taken, full };

struct PublishResult {
  PublishOutcome outcome;
  // The registration already there (same_again, name_taken, or the holder of
  // a taken extension), or the one published.
  const RegisteredLanguage* entry = nullptr;
  std::string extension;  // the taken one
};

// Under the writers' mutex: publishes `entry` unless its name is registered
// already (the same package and function again is `same_again`), one of its
// extensions belongs to another registration, or the table is full. The
// caller has checked the built-in names and extensions. On `published` the
// entry is the registry's from then on, never freed.
PublishResult publish_registration(RegisteredLanguage* entry);

}  // namespace marblewick
