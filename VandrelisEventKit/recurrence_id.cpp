// The "date:" form goes through ICU's Gregorian calendar so that the zone rules and the
// calendar match the platform's date formatter; the "time:" form is zone-free arithmetic.
#include "recurrence_id.h"

#include <cmath>
#include <cstdlib>
#include <memory>

#include <unicode/gregocal.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

namespace vandrelis {
namespace {

// Null when ICU does not know the identifier (it would otherwise answer with "Etc/Unknown",
// a zone at UTC, and silently date the event in the wrong zone).
std::unique_ptr<icu::TimeZone> knownZone(const std::string& identifier) {
  icu::UnicodeString id = icu::UnicodeString::fromUTF8(identifier);
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createTimeZone(id));
  if (!zone) return nullptr;
  icu::UnicodeString resolved, unknown;
  zone->getID(resolved);
  icu::TimeZone::getUnknown().getID(unknown);
  if (resolved == unknown) return nullptr;
  return zone;
}

}  // namespace

std::optional<std::int64_t> roundedMilliseconds(store::Instant instant) {
  const double milliseconds = std::round(instant * 1000.0);  // halves away from zero
  // 2^63 is exact in a double; every double below it converts without overflow.
  constexpr double kLimit = 9223372036854775808.0;
  if (!(milliseconds >= -kLimit && milliseconds < kLimit)) return std::nullopt;  // NaN too
  return static_cast<std::int64_t>(milliseconds);
}

std::optional<std::string> gregorianDay(store::Instant instant,
                                        const std::optional<std::string>& zone) {
  if (!std::isfinite(instant)) return std::nullopt;
  std::unique_ptr<icu::TimeZone> timeZone;
  if (zone) timeZone = knownZone(*zone);
  // Asked afresh each time: the process's zone may have changed since the last call.
  if (!timeZone) timeZone.reset(icu::TimeZone::createDefault());

  // Building a formatter loads locale data and costs far more than formatting, so each
  // thread keeps one and only its zone changes from call to call.
  thread_local std::unique_ptr<icu::SimpleDateFormat> formatter = [] {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale posix("en_US_POSIX");
    auto calendar = std::make_unique<icu::GregorianCalendar>(posix, status);
    calendar->setLenient(false);  // an instant beyond the calendar fails instead of clamping
    auto made = std::make_unique<icu::SimpleDateFormat>(
        icu::UnicodeString("yyyy-MM-dd", -1, US_INV), posix, status);
    if (U_FAILURE(status)) std::abort();  // ICU data missing: nothing sensible to do
    made->adoptCalendar(calendar.release());
    return made;
  }();
  formatter->adoptTimeZone(timeZone.release());

  icu::UnicodeString text;
  icu::FieldPosition position;
  // An instant the calendar cannot hold shows only as an empty text.
  formatter->format(instant * 1000.0, text, position);
  if (text.isEmpty()) return std::nullopt;
  std::string out;
  text.toUTF8String(out);
  return out;
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
