// The registry of run-time grammars: a fixed array of entry addresses and a
// count. Only the count is shared between threads as an atomic; each slot is
// written once, before the count that makes it visible, and never again.
#include "syntax/grammar_registry.h"

#include <array>
#include <atomic>
#include <mutex>

namespace marblewick {
namespace {

// The process's, never destroyed: a call may still read an entry while the
// process ends.
struct Registry {
  std::mutex writers;
  std::atomic<std::size_t> count{0};
  std::array<const RegisteredLanguage*, MAX_REGISTERED_LANGUAGES> slots{};
};

Registry& registry() {
  static Registry* const instance = new Registry();
  return *instance;
}

char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_lowering(std::string_view stored, std::string_view given) {
  if (stored.size() != given.size()) return false;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] != lower_ascii(given[i])) return false;
  }
  return true;
}

template <typename Visit>
const RegisteredLanguage* find_entry(Visit matches) {
  Registry& table = registry();
  std::size_t count = table.count.load(std::memory_order_acquire);
  for (std::size_t i = 0; i < count; ++i) {
    if (matches(*table.slots[i])) return table.slots[i];
  }
  return nullptr;
}

}  // namespace

const RegisteredLanguage* registered_language_named(std::string_view name) {
  return find_entry([&](const RegisteredLanguage& entry) { return entry.name == name; });
}

const RegisteredLanguage* registered_language_for_extension(std::string_view extension) {
  return find_entry([&](const RegisteredLanguage& entry) {
    for (const std::string& candidate : entry.extensions) {
      if (equal_lowering(candidate, extension)) return true;
    }
    return false;
  });
}

std::vector<const RegisteredLanguage*> registered_languages() {
  Registry& table = registry();
  std::size_t count = table.count.load(std::memory_order_acquire);
  return std::vector<const RegisteredLanguage*>(table.slots.begin(), table.slots.begin() + count);
}

PublishResult publish_registration(RegisteredLanguage* entry) {
  Registry& table = registry();
  std::lock_guard<std::mutex> lock(table.writers);
  std::size_t count = table.count.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < count; ++i) {
    const RegisteredLanguage* other = table.slots[i];
    if (other->name == entry->name) {
      bool same = other->package == entry->package && other->function == entry->function;
      return {same ? PublishOutcome::same_again : PublishOutcome::name_taken, other, {}};
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    const RegisteredLanguage* other = table.slots[i];
    for (const std::string& extension : entry->extensions) {
      for (const std::string& taken : other->extensions) {
        if (taken == extension) return {PublishOutcome::extension_taken, other, extension};
      }
    }
  }
  if (count == MAX_REGISTERED_LANGUAGES) return {PublishOutcome::full, nullptr, {}};
  table.slots[count] = entry;
  table.count.store(count + 1, std::memory_order_release);
  return {PublishOutcome::published, entry, {}};
}

}  // namespace marblewick
