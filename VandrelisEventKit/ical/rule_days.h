// The days of a recurrence: calendar arithmetic in 64 bits, and the filter that the BYxxx parts
// which select days (BYMONTH, BYMONTHDAY, BYYEARDAY, BYWEEKNO, BYDAY) make of a rule.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "ical/civil_time.h"
#include "ical/recurrence_rule.h"

namespace vandrelis::store::rule_days {

using Int = std::int64_t;

inline constexpr Int kDay = 86400;
inline constexpr Int kNever = std::numeric_limits<Int>::max();
// iCalendar writes four-digit years, so nothing after 9999 is ever given.
inline constexpr int kLastYear = 9999;
// Steps that yield nothing the caller sees (days examined, units refused, periods counted)
// before the expansion gives up: a tenth of a second or so.
inline constexpr Int kWorkBudget = Int{1} << 22;
// The Gregorian calendar, weekdays included, repeats every 400 years.
inline constexpr Int kCycleDays = 146097;

inline Int floorDiv(Int a, Int b) {
  Int q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

inline Int floorMod(Int a, Int b) { return a - floorDiv(a, b) * b; }

inline Int ceilDiv(Int a, Int b) { return -floorDiv(-a, b); }

// One day with the fields the day filters read, advanced one day at a time.
struct Date {
  Int day = 0;  // days since 1970-01-01
  int year = 1970;
  int month = 1;
  int monthDay = 1;
  int weekday = 0;
  int yearDay = 0;  // 0-based
  int monthLength = 31;
  int yearLength = 365;
};

inline Date dateOf(Int day) {
  CivilTime civil = civilFromDays(day);
  Date date;
  date.day = day;
  date.year = civil.year;
  date.month = civil.month;
  date.monthDay = civil.day;
  date.weekday = weekdayOf(day);
  date.yearDay = static_cast<int>(day - daysFromCivil(civil.year, 1, 1));
  date.monthLength = daysInMonth(civil.year, civil.month);
  date.yearLength = isLeapYear(civil.year) ? 366 : 365;
  return date;
}

inline void advance(Date& date) {
  ++date.day;
  date.weekday = date.weekday == 6 ? 0 : date.weekday + 1;
  ++date.yearDay;
  if (++date.monthDay <= date.monthLength) return;
  date.monthDay = 1;
  if (++date.month > 12) {
    date.month = 1;
    ++date.year;
    date.yearDay = 0;
    date.yearLength = isLeapYear(date.year) ? 366 : 365;
  }
  date.monthLength = daysInMonth(date.year, date.month);
}

inline bool hasBit(std::uint64_t mask, int bit) { return bit >= 0 && bit < 64 && (mask >> bit) & 1; }

class DayFilter {
 public:
  DayFilter(const RecurrenceRule& rule, const Date& start) : weekStart_(rule.weekStart) {
    bool yearly = rule.frequency == Frequency::yearly;
    for (int month : rule.byMonth) months_ |= 1u << month;
    for (int day : rule.byMonthDay) (day > 0 ? monthDayFromStart_ : monthDayFromEnd_) |= 1ull << std::abs(day);
    // What a rule without day parts repeats: DTSTART's day in its week, month or year.
    if (rule.byDay.empty() && rule.byMonthDay.empty() && rule.byYearDay.empty() && rule.byWeekNo.empty()) {
      if (yearly && rule.byMonth.empty()) months_ = 1u << start.month;
      if (yearly || rule.frequency == Frequency::monthly) monthDayFromStart_ = 1ull << start.monthDay;
      if (rule.frequency == Frequency::weekly) weekdays_ = 1u << start.weekday;
    }
    for (int day : rule.byYearDay) {
      auto& mask = day > 0 ? yearDayFromStart_ : yearDayFromEnd_;
      mask[std::abs(day) / 64] |= 1ull << (std::abs(day) % 64);
    }
    hasYearDay_ = !rule.byYearDay.empty();
    for (int week : rule.byWeekNo) (week > 0 ? weekFromStart_ : weekFromEnd_) |= 1ull << std::abs(week);
    // Ordinals count within the month or the year; other frequencies take the weekday alone.
    bool ordinals = rule.frequency == Frequency::monthly || yearly;
    nthInYear_ = yearly && rule.byMonth.empty();
    for (const WeekdayNum& day : rule.byDay) {
      if (day.ordinal == 0 || !ordinals) {
        weekdays_ |= 1u << day.weekday;
      } else {
        (day.ordinal > 0 ? nthFromStart_ : nthFromEnd_)[day.weekday] |= 1ull << std::abs(day.ordinal);
        hasNth_ = true;
      }
    }
    hasDay_ = weekdays_ != 0 || hasNth_;
    any_ = months_ != 0 || monthDayFromStart_ != 0 || monthDayFromEnd_ != 0 || hasYearDay_ ||
           weekFromStart_ != 0 || weekFromEnd_ != 0 || hasDay_;
  }

  bool any() const { return any_; }
  bool allowsMonth(int month) const { return months_ == 0 || (months_ >> month) & 1; }
  // Whether a day matches depends on its weekday alone (weekly periods then hold a fixed count).
  bool weekdaysOnly() const {
    return weekdays_ != 0 && !hasNth_ && months_ == 0 && (monthDayFromStart_ | monthDayFromEnd_) == 0 &&
           !hasYearDay_ && (weekFromStart_ | weekFromEnd_) == 0;
  }
  int weekdayCount() const { return std::popcount(weekdays_); }

  bool matches(const Date& d) const {
    if (!allowsMonth(d.month)) return false;
    if ((monthDayFromStart_ | monthDayFromEnd_) != 0 && !hasBit(monthDayFromStart_, d.monthDay) &&
        !hasBit(monthDayFromEnd_, d.monthLength - d.monthDay + 1)) {
      return false;
    }
    if (hasYearDay_ && !yearDayBit(yearDayFromStart_, d.yearDay + 1) &&
        !yearDayBit(yearDayFromEnd_, d.yearLength - d.yearDay)) {
      return false;
    }
    if ((weekFromStart_ | weekFromEnd_) != 0 && !matchesWeek(d)) return false;
    if (hasDay_ && !((weekdays_ >> d.weekday) & 1)) {
      if (!hasNth_) return false;
      int index = nthInYear_ ? d.yearDay : d.monthDay - 1;
      int length = nthInYear_ ? d.yearLength : d.monthLength;
      if (!hasBit(nthFromStart_[d.weekday], index / 7 + 1) &&
          !hasBit(nthFromEnd_[d.weekday], (length - 1 - index) / 7 + 1)) {
        return false;
      }
    }
    return true;
  }

  // The first matching day in [day, lastDay], or kNever; months the rule leaves out are
  // passed over whole, and a rule no day of a whole calendar cycle matches ends.
  Int next(Int day, Int lastDay, Int& work) const {
    if (!any_) return day <= lastDay ? day : kNever;
    Date d = dateOf(day);
    lastDay = std::min(lastDay, day + kCycleDays);
    while (d.day <= lastDay) {
      if (++work > kWorkBudget) return kNever;
      if (!allowsMonth(d.month)) {
        int month = d.month, year = d.year;
        do {
          if (++month > 12) month = 1, ++year;
        } while (!allowsMonth(month));
        d = dateOf(daysFromCivil(year, month, 1));
        continue;
      }
      if (matches(d)) return d.day;
      advance(d);
    }
    return kNever;
  }

 private:
  static bool yearDayBit(const std::array<std::uint64_t, 6>& mask, int n) {
    return n >= 1 && n <= 366 && (mask[n / 64] >> (n % 64)) & 1;
  }

  // The first day of week 1 of a year: the week (from the week start) holding 4 January.
  Int firstWeek(Int year) const {
    Int fourth = daysFromCivil(year, 1, 4);
    return fourth - (weekdayOf(fourth) - weekStart_ + 7) % 7;
  }

  bool matchesWeek(const Date& d) const {
    // Days at the ends of a year may belong to a week of the year before or after.
    Int weekYear = d.year;
    Int first = firstWeek(weekYear);
    if (d.day < first) {
      first = firstWeek(--weekYear);
    } else if (Int following = firstWeek(weekYear + 1); d.day >= following) {
      first = following;
      ++weekYear;
    }
    int weeks = static_cast<int>((firstWeek(weekYear + 1) - first) / 7);
    int week = static_cast<int>((d.day - first) / 7) + 1;
    return hasBit(weekFromStart_, week) || hasBit(weekFromEnd_, weeks - week + 1);
  }

  int weekStart_;
  unsigned months_ = 0;  // bit m for month m
  std::uint64_t monthDayFromStart_ = 0, monthDayFromEnd_ = 0;
  std::array<std::uint64_t, 6> yearDayFromStart_{}, yearDayFromEnd_{};
  bool hasYearDay_ = false;
  std::uint64_t weekFromStart_ = 0, weekFromEnd_ = 0;
  unsigned weekdays_ = 0;
  std::array<std::uint64_t, 7> nthFromStart_{}, nthFromEnd_{};
  bool hasNth_ = false, nthInYear_ = false, hasDay_ = false, any_ = false;
};

}  // namespace vandrelis::store::rule_days
