// The "date:" form takes the day from the same zone database as every other instant the helper
// computes (the system's), so an identity never changes because one library's copy lags; the
// "time:" form is zone-free arithmetic.
#include "recurrence_id.h"

#include <cmath>
#include <cstdio>
#include <memory>

#include "ical/time_zone.h"

namespace vandrelis {

std::optional<std::int64_t> roundedMilliseconds(store::Instant instant) {
  const double milliseconds = std::round(instant * 1000.0);  // halves away from zero
  // 2^63 is exact in a double; every double below it converts without overflow.
  constexpr double kLimit = 9223372036854775808.0;
  if (!(milliseconds >= -kLimit && milliseconds < kLimit)) return std::nullopt;  // NaN too
  return static_cast<std::int64_t>(milliseconds);
}

std::optional<std::string> gregorianDay(store::Instant instant,
                                        const std::optional<std::string>& zone) {
  // No day further than about 5.8 million years from 1970, where identities have always been
  // "single"; within that span every day has a four-digit-or-longer year.
  constexpr double kEarliest = -184303902528000.0, kLatest = 183882168921600.0;
  if (!(instant >= kEarliest && instant <= kLatest)) return std::nullopt;  // NaN too
  std::shared_ptr<const store::TimeZone> timeZone;
  if (zone) timeZone = store::systemTimeZone(*zone);
  // Asked afresh each time: the process's zone may have changed since the last call.
  if (!timeZone) timeZone = store::localTimeZone();

  store::CivilTime day = timeZone->toCivil(static_cast<std::int64_t>(std::floor(instant)));
  // Astronomical years (0 is 1 BC), at least four digits, as ISO 8601 writes them.
  char text[32];
  std::snprintf(text, sizeof text, day.year < 0 ? "-%04d-%02d-%02d" : "%04d-%02d-%02d",
                day.year < 0 ? -day.year : day.year, day.month, day.day);
  return text;
}

std::string recurrenceId(const store::Event& event) {
  const bool repeating = event.hasRecurrenceRules();
  std::optional<store::Instant> occurrence = event.occurrenceDate();
  if (!repeating && !occurrence) return "single";
  if (!occurrence) occurrence = event.startDate();
  if (!occurrence) return "single";

  // An instant with no day or millisecond form cannot name an occurrence either: it gets the
  // identity of a non-repeating event rather than a made-up number.
  if (event.isAllDay()) {
    std::optional<std::string> day = gregorianDay(*occurrence, event.timeZone());
    return day ? "date:" + *day : "single";
  }
  std::optional<std::int64_t> milliseconds = roundedMilliseconds(*occurrence);
  return milliseconds ? "time:" + std::to_string(*milliseconds) : "single";
}

}  // namespace vandrelis
