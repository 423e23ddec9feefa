// GrammarLoader: what the host lends "register-grammar" to import a grammar
// package, which only the boundary can do.
#pragma once

#include <string>
#include <string_view>

#include <tree_sitter/api.h>

#include "base/expected.h"

namespace marblewick {

struct LoadedGrammar {
  const TSLanguage* grammar = nullptr;
  // The package's folder, where its queries/ are; empty when it has none.
  std::string folder;
};

// Called with the host lock held, never released for the call.
class GrammarLoader {
 public:
  // Imports `package` and calls its `function`, which must return the
  // grammar's capsule. Error texts: the package cannot be imported, has no
  // such function, the function fails, or returns something else.
  virtual Expected<LoadedGrammar> load(std::string_view package, std::string_view function) = 0;
  // The grammar the last load returned is registered: what was imported for
  // it stays referenced until the process ends, so its code stays loaded.
  // Otherwise the call lets go of it.
  virtual void keep_loaded() = 0;

 protected:
  ~GrammarLoader() = default;
};

}  // namespace marblewick
