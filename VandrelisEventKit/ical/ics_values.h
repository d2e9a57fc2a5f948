// The values of event properties as the store reads them: dates and date-times (with their
// zones), durations, parameters, participants and statuses; read leniently as calendar programs
// write them, a value that cannot be read being as though absent.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ical/civil_time.h"
#include "ical/file_zones.h"
#include "ical/ics_events.h"
#include "ical/ics_reader.h"
#include "ical/time_zone.h"

namespace vandrelis::store::ics {

inline constexpr std::int64_t kDaySeconds = 86400;
// The longest RRULE value read; longer ones are no rule anyone writes.
inline constexpr std::size_t kRuleLimit = 4096;

struct DateTimeText {
  CivilTime time;
  bool isDate = false;
  bool isUtc = false;
};

CivilTime addSeconds(const CivilTime& t, std::int64_t seconds);

// "+0130", "-053000"; none when malformed.
std::optional<std::int32_t> parseOffset(std::string_view text);

// "20240501", "20240501T100000", "20240501T100000Z"; none when malformed. A day past its
// month's end rolls over ("20240230" is 1 March).
std::optional<DateTimeText> parseDateTimeText(std::string_view text);

// A DATE or DATE-TIME value. Floating values and dates are read in the process's own zone.
struct TimeValue {
  CivilTime wall;
  bool isDate = false;
  bool isUtc = false;
  bool floating = false;
  ZonePtr zone;  // never null
  // The text of the TZID parameter, when it had one.
  std::optional<std::string> tzid;

  bool isFloating() const { return floating; }
  const TimeZone& timeZone() const { return *zone; }
  Instant instant() const { return static_cast<Instant>(zone->toInstant(wall)); }
};

inline CivilTime dateOnly(CivilTime t) { return CivilTime{t.year, t.month, t.day}; }

inline std::int64_t dayNumber(const CivilTime& t) { return daysFromCivil(t.year, t.month, t.day); }

struct Duration {
  std::int64_t days = 0;  // nominal: whole days in wall time
  std::int64_t seconds = 0;
};

// The parameters of one value line that an event's reading uses (the first of each name).
struct ValueParameters {
  std::optional<std::string> tzid;  // as written, quotes removed: matched against VTIMEZONEs
  std::optional<std::string> commonName;
  std::optional<std::string> participation;
  bool thisAndFuture = false;
};

// "P1W", "-P2DT3H", "PT90S" (RFC 5545's forms; a week may also come with days); none when
// malformed. Negative durations are given as such: the callers decide what they mean.
struct ParsedDuration {
  bool negative = false;
  Duration duration;
};

// Whether an event's value lines stay within the limits that bound what one event may cost: a
// line of at most 64 KiB (a list value counts each of its values on its own) and 1 MiB in all.
bool withinValueLimits(const ComponentLines& lines);

ValueParameters valueParameters(const ContentLine& line);

// The time of a DATE or DATE-TIME value in the zone its TZID names (a file's VTIMEZONE first,
// then the system's database); a floating time or a date is read in the process's own zone.
std::optional<TimeValue> timeValue(std::string_view text, const ValueParameters& params,
                                   FileZones& zones);

std::optional<ParsedDuration> parseDuration(std::string_view text);

// An INTEGER value as calendar programs write it: leading digits after blanks and a sign,
// anything after them ignored, saturated to 32 bits; 0 when there are none.
std::int64_t integerValue(std::string_view text);

std::shared_ptr<const Participant> participant(const ContentLine& line, bool isAttendee,
                                               const IcsItem& item);

std::int64_t eventStatus(std::string_view value);

}  // namespace vandrelis::store::ics
