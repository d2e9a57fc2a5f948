// Time zones from one database, the system's (TZif files under /usr/share/zoneinfo, POSIX TZ
// rules), plus zones that an iCalendar file defines itself (VTIMEZONE). Every instant and every
// calendar day the helper computes comes from here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ical/civil_time.h"
#include "ical/recurrence_rule.h"

namespace vandrelis::store {

class TimeZone {
 public:
  virtual ~TimeZone() = default;
  // Offset from UTC, in seconds, in force at an instant (seconds since the epoch).
  virtual std::int32_t offsetAt(std::int64_t utcSeconds) const = 0;
  // The instant of a wall time. A wall time that does not exist (a spring gap) or that occurs
  // twice (an autumn fold) takes the offset in force before the transition: 02:30 in a
  // 02:00→03:00 gap is 03:30 of the later offset; 01:30 in a fold is the first 01:30.
  virtual std::int64_t toInstant(const CivilTime& wall) const = 0;
  CivilTime toCivil(std::int64_t utcSeconds) const {
    return civilFromSeconds(utcSeconds + offsetAt(utcSeconds));
  }
};

// The zone of an IANA identifier from the system database ($TZDIR, else /usr/share/zoneinfo),
// read once per process; null when there is no such zone.
std::shared_ptr<const TimeZone> systemTimeZone(std::string_view ianaId);
// The process's own zone: TZ as the C library reads it (a zone name, ":name", a path, or a
// POSIX rule string such as "CET-1CEST,M3.5.0,M10.5.0/3"), else /etc/localtime, else UTC.
// Read once per value of TZ: a process that changes TZ gets the new zone.
std::shared_ptr<const TimeZone> localTimeZone();
std::shared_ptr<const TimeZone> utcTimeZone();

// One STANDARD or DAYLIGHT observance of a VTIMEZONE.
struct ZoneObservance {
  CivilTime start;  // DTSTART, local time in offsetFrom
  std::int32_t offsetFrom = 0;
  std::int32_t offsetTo = 0;
  std::optional<RecurrenceRule> rule;
  std::vector<CivilTime> rdates;  // local times in offsetFrom
};

// A zone built from a file's own VTIMEZONE. Transitions are computed only for the years asked
// about, a bounded number of years at a time; before its first observance the zone keeps that
// observance's offsetFrom. Null when the observances give no offset at all.
std::shared_ptr<const TimeZone> definedTimeZone(std::vector<ZoneObservance> observances);
// The recurrence occurrences a defined zone has visited so far while computing its transitions
// (0 for any other zone): the measure of what a definition costs.
std::uint64_t definedZoneOccurrencesVisited(const TimeZone& zone);

}  // namespace vandrelis::store
