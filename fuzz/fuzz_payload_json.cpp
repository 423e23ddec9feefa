// The payload reader and the result writer on arbitrary bytes. A text that
// reads is written, read again and written again: both writings must be the
// same bytes, so nothing the reader accepts is lost or changed on the way out.
// A text that does not read must fail as a payload error whose position lies
// inside the text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"

using namespace marblewick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text = fuzz::as_text(data, size);
  Expected<JsonValue> value = parse_json_text(text);
  if (!value) {
    fuzz::check_payload_error(value.error(), text);
    return 0;
  }
  std::string written = write_json_text(value.value());
  Expected<JsonValue> reread = parse_json_text(written);
  FUZZ_PROPERTY(reread.has_value());
  FUZZ_PROPERTY(write_json_text(reread.value()) == written);
  return 0;
}
