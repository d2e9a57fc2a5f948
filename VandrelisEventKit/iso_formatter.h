// The process-wide timestamp formatter: instants as UTC text such as 2024-05-01T00:00:00.000Z,
// and the same form (with "Z" or a "+hh:mm" offset) read back into instants.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "store/calendar_store.h"

namespace vandrelis {

class IsoFormatter {
 public:
  // Always 24 characters. Parts finer than a millisecond are cut off (after rounding to the
  // microsecond, so binary noise does not lose a millisecond). Both directions cover UTC years
  // 0000 to 9999: an instant before that range is written as its first millisecond
  // (0000-01-01T00:00:00.000Z), one after it as its last (9999-12-31T23:59:59.999Z), and NaN as
  // the epoch.
  std::string string(store::Instant instant) const;
  // The same text into `text`, whose memory is reused.
  void write(store::Instant instant, std::string& text) const;
  // yyyy-MM-ddTHH:mm:ss.fff followed by Z or ±hh:mm, with 3 to 9 fraction digits and nothing
  // before or after; out-of-range fields, and a time whose offset puts it outside UTC years
  // 0000 to 9999, give no date.
  std::optional<store::Instant> date(std::string_view text) const;
};

// Made once, on first use, by a thread-safe initialisation.
const IsoFormatter& isoFormatter();

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
long long daysFromCivil(long long year, unsigned month, unsigned day);
void civilFromDays(long long days, long long* year, unsigned* month, unsigned* day);

}  // namespace vandrelis
