// RFC 5545 recurrence rules (Gregorian only): parsing of an RRULE value and its expansion
// into wall-clock occurrence starts. Expansion starts at the period that holds the requested
// range, so its cost follows the occurrences it yields, not the age of the series.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "ical/civil_time.h"

namespace vandrelis::store {

enum class Frequency { secondly, minutely, hourly, daily, weekly, monthly, yearly };

struct WeekdayNum {
  int ordinal = 0;  // 0: every such weekday in the period; otherwise ±1..±53
  int weekday = 0;  // 0 Monday ... 6 Sunday
  auto operator<=>(const WeekdayNum&) const = default;
};

struct RecurrenceRule {
  Frequency frequency = Frequency::daily;
  int interval = 1;
  std::optional<std::int64_t> count;
  // UNTIL as written: a date, or a date-time in UTC ("Z") or without a zone.
  struct Until {
    CivilTime time;
    bool isDate = false;
    bool isUtc = false;
  };
  std::optional<Until> until;
  std::vector<int> bySecond, byMinute, byHour;
  std::vector<WeekdayNum> byDay;
  std::vector<int> byMonthDay, byYearDay, byWeekNo, byMonth, bySetPos;
  int weekStart = 0;  // WKST, 0 Monday ... 6 Sunday
};

// Parses the value of an RRULE ("FREQ=WEEKLY;BYDAY=MO,WE"). None when it is no rule this
// expander follows: no FREQ, a calendar scale other than Gregorian, a malformed or out-of-range
// part.
std::optional<RecurrenceRule> parseRecurrenceRule(std::string_view value);

struct ExpansionRange {
  // Wall times of the occurrences wanted: from <= start < to.
  CivilTime from;
  CivilTime to;
  // The last wall time the rule may give (inclusive), UNTIL already in the series' zone;
  // none when the rule has no UNTIL.
  std::optional<CivilTime> until;
};

// Calls visit for each start the rule gives in the range, in ascending order, until visit
// returns false. DTSTART is the first occurrence of the series and one of COUNT whether or
// not the rule matches it; it is visited like the others when it lies in the range. Starts
// that are not real dates (30 February) or times are never given. Returns false when the
// expansion stopped at its safety bound rather than at the range's end.
bool expandRecurrence(const RecurrenceRule& rule, const CivilTime& dtstart,
                      const ExpansionRange& range,
                      const std::function<bool(const CivilTime&)>& visit);

}  // namespace vandrelis::store
