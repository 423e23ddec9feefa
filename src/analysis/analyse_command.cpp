// "analyse" answers {"ok":true,"outline":O,"syntax_check":S}, where O and S are
// exactly what "outline" and "syntax-check" give for the same payload.
#include "analysis/analyse_command.h"

#include <utility>

#include "outline/outline_command.h"
#include "syntax/source_tree.h"
#include "syntax/syntax_check_command.h"

namespace marblewick {

// The text is parsed whenever its language has a grammar, as the check needs,
// so the failures are the check's: "outline" alone parses a subset of those
// languages and so can fail only where the check fails too.
CommandResult analyse_command(const JsonValue& payload) {
  Expected<SourceTree> source = obtain_source_tree(payload, every_language);
  if (!source) return std::move(source).error();
  const SourceTree& subject = source.value();

  CommandResult outline = outline_result(subject);
  if (!outline) return std::move(outline).error();
  JsonObject result;
  result.emplace("outline", std::move(outline).value());
  result.emplace("syntax_check", syntax_check_result(subject));
  return success_object(std::move(result));
}

}  // namespace marblewick
