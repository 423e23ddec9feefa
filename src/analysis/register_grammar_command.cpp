// register_grammar_command: the request is checked before anything is
// imported, the grammar and its tags query after, and the registry, under its
// writers' mutex, has the last word on names and extensions, since another
// thread may register while this one imports.
#include "analysis/register_grammar_command.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "io/text_file.h"
#include "outline/tags_query.h"
#include "syntax/grammar_registry.h"
#include "syntax/language.h"
#include "syntax/parse.h"

namespace marblewick {
namespace {

constexpr std::string_view DEFAULT_FUNCTION = "language";
constexpr std::string_view DEFAULT_TAGS = "/queries/tags.scm";

ErrorText registration_error(std::string text) { return ErrorText(ErrorKind::registration, std::move(text)); }

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

struct Request {
  std::string language;
  std::string package;
  std::string function;
  std::vector<std::string> extensions;
  const std::string* tags = nullptr;
};

Expected<Request> read_request(const JsonValue& payload) {
  Request request;
  const std::string* language = payload.string_field("language");
  if (language == nullptr) return missing_field_error("language");
  const std::string* package = payload.string_field("package");
  if (package == nullptr) return missing_field_error("package");
  request.language = *language;
  request.package = *package;
  const std::string* function = payload.string_field("function");
  request.function = function != nullptr ? *function : std::string(DEFAULT_FUNCTION);
  request.tags = payload.string_field("tags");

  if (request.language.empty()) return registration_error("a registered language needs a name");
  if (language_named(request.language)) {
    return registration_error(quoted(request.language) +
                              " is a built-in language: no registration replaces it");
  }
  if (request.package.empty()) return registration_error("a grammar package needs a name");
  if (const JsonArray* extensions = payload.array_field("extensions")) {
    for (const JsonValue& value : *extensions) {
      const std::string* extension = value.as_string();
      if (extension == nullptr) return registration_error("extensions must be strings");
      bool valid = !extension->empty();
      for (char c : *extension) {
        if ((c >= 'A' && c <= 'Z') || c == '.' || c == '/' || c == '\0') valid = false;
      }
      if (!valid) {
        return registration_error("extension " + quoted(*extension) + " must be lower-case, without the dot");
      }
      bool listed = false;
      for (const std::string& earlier : request.extensions) listed = listed || earlier == *extension;
      if (!listed) request.extensions.push_back(*extension);
    }
  }
  return request;
}

std::optional<ErrorText> extension_taken(const Request& request) {
  for (const std::string& extension : request.extensions) {
    std::string_view builtin = builtin_language_for_extension(extension);
    if (!builtin.empty() && builtin != request.language) {
      return registration_error("extension " + quoted(extension) + " is already taken by " + quoted(builtin));
    }
    const RegisteredLanguage* holder = registered_language_for_extension(extension);
    if (holder != nullptr && holder->name != request.language) {
      return registration_error("extension " + quoted(extension) + " is already taken by " +
                                quoted(holder->name));
    }
  }
  return std::nullopt;
}

ErrorText name_taken(const RegisteredLanguage& other) {
  return registration_error("language " + quoted(other.name) + " is already registered from package " +
                            quoted(other.package) + ", function " + quoted(other.function));
}

JsonValue registration_answer(const RegisteredLanguage& entry) {
  JsonArray extensions;
  for (const std::string& extension : entry.extensions) extensions.emplace_back(extension);
  JsonObject result;
  result.emplace("abi_version", JsonValue(std::uint64_t{entry.abi_version}));
  result.emplace("extensions", JsonValue(std::move(extensions)));
  result.emplace("language", JsonValue(entry.name));
  result.emplace("outline", JsonValue(entry.tags != nullptr));
  return success_object(std::move(result));
}

bool is_regular_file(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// The tags query to compile: the one named, else the package's own where it
// has one; none is an empty origin.
Expected<std::pair<std::string, TextBuffer>> read_tags(const Request& request, const LoadedGrammar& loaded) {
  std::string origin;
  if (request.tags != nullptr) {
    origin = *request.tags;
  } else if (!loaded.folder.empty() && is_regular_file(loaded.folder + std::string(DEFAULT_TAGS))) {
    origin = loaded.folder + std::string(DEFAULT_TAGS);
  } else {
    return std::pair<std::string, TextBuffer>();
  }
  Expected<TextBuffer> text = read_text_file(origin);
  if (!text) {
    if (text.error().kind == ErrorKind::out_of_memory) return std::move(text).error();
    return registration_error("tags query " + quoted(origin) + ": " + text.error().message);
  }
  return std::pair<std::string, TextBuffer>(std::move(origin), std::move(text).value());
}

}  // namespace

CommandResult register_grammar_command(const JsonValue& payload, GrammarLoader* loader) {
  Expected<Request> read = read_request(payload);
  if (!read) return std::move(read).error();
  Request& request = read.value();

  // Registered already: the same package and function again changes nothing.
  if (const RegisteredLanguage* existing = registered_language_named(request.language)) {
    if (existing->package == request.package && existing->function == request.function) {
      return registration_answer(*existing);
    }
    return name_taken(*existing);
  }
  if (std::optional<ErrorText> taken = extension_taken(request)) return std::move(*taken);
  if (loader == nullptr) return registration_error("grammar packages can be registered only from the host");

  Expected<LoadedGrammar> loaded = loader->load(request.package, request.function);
  if (!loaded) return std::move(loaded).error();
  const TSLanguage* grammar = loaded.value().grammar;
  std::uint32_t abi_version = ts_language_abi_version(grammar);
  if (!grammar_abi_supported(abi_version)) return incompatible_version_error(abi_version);

  Expected<std::pair<std::string, TextBuffer>> tags = read_tags(request, loaded.value());
  if (!tags) return std::move(tags).error();
  std::unique_ptr<TagsOutline> outline;
  if (!tags.value().first.empty()) {
    Expected<std::unique_ptr<TagsOutline>> compiled =
        compile_tags_outline(grammar, tags.value().second.view(), tags.value().first);
    if (!compiled) return std::move(compiled).error();
    outline = std::move(compiled).value();
  }

  auto entry = std::make_unique<RegisteredLanguage>();
  entry->name = request.language;
  entry->package = request.package;
  entry->function = request.function;
  entry->extensions = request.extensions;
  entry->grammar = grammar;
  entry->abi_version = abi_version;
  entry->tags = outline.get();

  PublishResult published = publish_registration(entry.get());
  switch (published.outcome) {
    case PublishOutcome::published:
      // The registry's from now on, with its tags query, until the process ends.
      static_cast<void>(entry.release());
      static_cast<void>(outline.release());
      loader->keep_loaded();
      return registration_answer(*published.entry);
    case PublishOutcome::same_again:
      return registration_answer(*published.entry);
    case PublishOutcome::name_taken:
      return name_taken(*published.entry);
    case PublishOutcome::extension_taken:
      return registration_error("extension " + quoted(published.extension) + " is already taken by " +
                                quoted(published.entry->name));
    case PublishOutcome::full:
      break;
  }
  return registration_error("no more than " + std::to_string(MAX_REGISTERED_LANGUAGES) +
                            " grammars can be registered");
}

}  // namespace marblewick
