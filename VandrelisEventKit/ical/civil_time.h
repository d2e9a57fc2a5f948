// Wall-clock readings in the proleptic Gregorian calendar, with no zone attached, and the
// day arithmetic that recurrence rules and time zones share.
#pragma once

#include <compare>
#include <cstdint>

namespace vandrelis::store {

// A reading of a wall clock. Fields are not checked: a rule may name 30 February, and the
// arithmetic below normalises such a reading only where it says so.
struct CivilTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;

  auto operator<=>(const CivilTime&) const = default;
};

// Days from 1970-01-01 to the given date; month and day may be out of range and are carried.
std::int64_t daysFromCivil(std::int64_t year, int month, int day);
// The date of a day count from 1970-01-01 (time of day zero).
CivilTime civilFromDays(std::int64_t days);
// Seconds of a wall time on a clock without zone changes (as if it were UTC), and back.
std::int64_t civilSeconds(const CivilTime& time);
CivilTime civilFromSeconds(std::int64_t seconds);
// 0 Monday ... 6 Sunday.
int weekdayOf(std::int64_t days);
bool isLeapYear(std::int64_t year);
int daysInMonth(std::int64_t year, int month);
// Whether the fields name a real date and time (seconds up to 60 are not: 59 at most).
bool isValidCivil(const CivilTime& time);
// A date or date-time as calendar programs read one: a day from 1 to 31 past its month's end
// rolls over into the next month (30 February 2024 is 1 March), as libical and ical.js do.
// False, leaving the time as it was, when the fields name no time even so (a month outside
// 1..12, day 0 or over 31, an hour, minute or second out of range).
bool rollOverDay(CivilTime& time);

}  // namespace vandrelis::store
