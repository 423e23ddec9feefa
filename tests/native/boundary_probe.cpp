// A command executor for the test-only probe module. The tests build it with
// the real boundary and the real JSON parser and writer in place of the
// shipped dispatcher, so that they can drive the failure barrier and check the
// writer on any value. Nothing here is part of the shipped module.
#include <stdexcept>
#include <string>

#include "lib/dispatch.h"
#include "lib/internal_failure.h"
#include "lib/json_parse.h"
#include "lib/json_write.h"

namespace {

// A failure whose report cannot be produced: a second failure while the
// boundary is converting the first one.
class UnreportableFailure : public marblewick::InternalFailure {
 public:
  UnreportableFailure()
      : InternalFailure("first failure", std::source_location::current()) {}
  std::string location_text() const override {
    throw std::runtime_error("failure while reporting a failure");
  }
};

}  // namespace

namespace marblewick {

CommandOutcome execute_command(std::string_view command, std::string_view payload_text) {
  if (command == "echo") {
    Expected<JsonValue> payload = parse_json_text(payload_text);
    if (!payload) return {true, std::move(payload).error()};
    return {false, write_json_text(payload.value())};
  }
  if (command == "fail-invariant") check_invariant(false, "probe invariant broken");
  if (command == "fail-std") throw std::out_of_range("index 7 is out of range for length 3");
  if (command == "fail-unknown") throw 42;
  if (command == "bad-result") return {false, std::string("\xff\xfe not UTF-8")};
  if (command == "fail-twice") throw UnreportableFailure();
  return {true, "probe: unknown command"};
}

}  // namespace marblewick
