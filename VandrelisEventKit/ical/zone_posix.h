// POSIX TZ rules ("CET-1CEST,M3.5.0,M10.5.0/3"), read the way the C library reads them: the
// TZ variable's rule form and the closing rule of a TZif file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "ical/civil_time.h"
#include "ical/time_zone.h"

namespace vandrelis::store {

struct PosixDate {
  enum class Kind { julianNoLeap, zeroBasedDay, monthWeekDay } kind = Kind::monthWeekDay;
  int month = 0, week = 0, day = 0;  // day: Jn or n, or the weekday (0 Sunday) of Mm.w.d
  std::int32_t seconds = 2 * 3600;   // local time of the change, may be negative or past 24h

  // The instant of the change in a year, counted in the offset in force before it.
  std::int64_t instantIn(std::int64_t year, std::int32_t offsetBefore) const {
    std::int64_t days = daysFromCivil(year, 1, 1);
    switch (kind) {
      case Kind::julianNoLeap:
        days += day - 1 + (day >= 60 && isLeapYear(year) ? 1 : 0);
        break;
      case Kind::zeroBasedDay:
        days += day;
        break;
      case Kind::monthWeekDay: {
        std::int64_t first = daysFromCivil(year, month, 1);
        int firstWeekday = (weekdayOf(first) + 1) % 7;  // Sunday 0, as POSIX counts
        int dayOfMonth = 1 + (day - firstWeekday + 7) % 7 + 7 * (week - 1);
        while (dayOfMonth > daysInMonth(year, month)) dayOfMonth -= 7;
        days = first + dayOfMonth - 1;
        break;
      }
    }
    return days * 86400 + seconds - offsetBefore;
  }
};

std::uint64_t nextRuleId();

struct PosixRule {
  std::int32_t standard = 0;  // offsets east of UTC, unlike the string's sign
  std::optional<std::int32_t> daylight;
  PosixDate start, end;  // of daylight time
  std::uint64_t id = nextRuleId();  // names the rule in the per-thread cache of its changes
};

// None when the text is not a rule.
std::optional<PosixRule> parsePosixRule(std::string_view text);
// The offset in force at an instant, and the instant of a wall time (gaps and folds as
// TimeZone::toInstant takes them).
std::int32_t posixOffsetAt(const PosixRule& rule, std::int64_t utc);
std::int64_t posixToInstant(const PosixRule& rule, const CivilTime& wall);
// A zone that follows the rule: a fixed offset when it has no daylight time.
std::shared_ptr<const TimeZone> posixTimeZone(const PosixRule& rule);

}  // namespace vandrelis::store
