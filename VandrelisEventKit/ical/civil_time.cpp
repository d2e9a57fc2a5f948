// Day counts follow the well-known era-based conversion (400-year cycles of 146097 days), which
// is exact for every 64-bit year the callers use.
#include "ical/civil_time.h"

namespace vandrelis::store {
namespace {

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

}  // namespace

bool isLeapYear(std::int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(std::int64_t year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

std::int64_t daysFromCivil(std::int64_t year, int month, int day) {
  // Carry months outside 1..12 into the year first.
  std::int64_t m0 = static_cast<std::int64_t>(month) - 1;
  year += floorDiv(m0, 12);
  std::int64_t m = m0 - floorDiv(m0, 12) * 12 + 1;
  std::int64_t y = m <= 2 ? year - 1 : year;
  std::int64_t era = floorDiv(y, 400);
  std::int64_t yoe = y - era * 400;
  std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5;
  std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + (day - 1);
}

CivilTime civilFromDays(std::int64_t days) {
  std::int64_t z = days + 719468;
  std::int64_t era = floorDiv(z, 146097);
  std::int64_t doe = z - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  CivilTime out;
  out.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  out.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  out.year = static_cast<int>(yoe + era * 400 + (out.month <= 2 ? 1 : 0));
  return out;
}

std::int64_t civilSeconds(const CivilTime& time) {
  return daysFromCivil(time.year, time.month, time.day) * 86400 +
         static_cast<std::int64_t>(time.hour) * 3600 + time.minute * 60 + time.second;
}

CivilTime civilFromSeconds(std::int64_t seconds) {
  std::int64_t days = floorDiv(seconds, 86400);
  std::int64_t rest = seconds - days * 86400;
  CivilTime out = civilFromDays(days);
  out.hour = static_cast<int>(rest / 3600);
  out.minute = static_cast<int>(rest / 60 % 60);
  out.second = static_cast<int>(rest % 60);
  return out;
}

int weekdayOf(std::int64_t days) {
  // 1970-01-01 was a Thursday (3 when Monday is 0).
  return static_cast<int>(days + 3 - floorDiv(days + 3, 7) * 7);
}

bool isValidCivil(const CivilTime& time) {
  return time.month >= 1 && time.month <= 12 && time.day >= 1 &&
         time.day <= daysInMonth(time.year, time.month) && time.hour >= 0 && time.hour <= 23 &&
         time.minute >= 0 && time.minute <= 59 && time.second >= 0 && time.second <= 59;
}

bool rollOverDay(CivilTime& time) {
  if (time.month < 1 || time.month > 12 || time.day < 1 || time.day > 31 || time.hour < 0 ||
      time.hour > 23 || time.minute < 0 || time.minute > 59 || time.second < 0 ||
      time.second > 59) {
    return false;
  }
  if (time.day > daysInMonth(time.year, time.month)) {
    // At most three days into the next month; December has 31, so the year never changes.
    time.day -= daysInMonth(time.year, time.month);
    ++time.month;
  }
  return true;
}

}  // namespace vandrelis::store
