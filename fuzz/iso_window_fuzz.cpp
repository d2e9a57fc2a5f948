// The window parser: whatever it reads, the formatter writes back as text it reads again as the
// same instant (to the millisecond the text keeps).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "iso_formatter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const vandrelis::IsoFormatter& formatter = vandrelis::isoFormatter();
  const auto instant = formatter.date(text);
  if (!instant) return 0;
  const std::string written = formatter.string(*instant);
  FUZZ_CHECK(written.size() == 24 && written.back() == 'Z', written);
  const auto reread = formatter.date(written);
  FUZZ_CHECK(reread.has_value(), written);
  // The text keeps milliseconds; a double near year 9999 is itself a few microseconds coarse.
  const double grain = std::nextafter(std::fabs(*instant), INFINITY) - std::fabs(*instant);
  FUZZ_CHECK(std::fabs(*reread - *instant) <= 1e-3 + 4 * grain, written);
  FUZZ_CHECK(formatter.string(*reread) == written, written);
  return 0;
}
