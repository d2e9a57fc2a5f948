// Both programs' JSON string writers: one valid literal, valid UTF-8, "/" escaped, and it
// decodes to the input with each ill-formed UTF-8 subpart replaced by U+FFFD.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "json_encoder.h"
#include "json_writer.h"

namespace {

void check(const std::string& literal, const std::string& expected) {
  FUZZ_CHECK(fuzzsupport::isValidUtf8(literal), literal);
  for (std::size_t i = literal.find('/'); i != std::string::npos; i = literal.find('/', i + 1)) {
    FUZZ_CHECK(i > 0 && literal[i - 1] == '\\', literal);
  }
  const auto decoded = fuzzsupport::decodeJsonString(literal);
  FUZZ_CHECK(decoded.has_value(), literal);
  FUZZ_CHECK(*decoded == expected, literal);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string expected = fuzzsupport::repairedUtf8(text);
  std::string helper;
  vandrelis::appendJsonString(helper, text);
  check(helper, expected);
  std::string detector;
  micdetector::appendJsonString(detector, text);
  check(detector, expected);
  return 0;
}
