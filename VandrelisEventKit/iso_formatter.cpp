// Plain arithmetic on the proleptic Gregorian calendar; no locale or zone database is involved
// since every instant is written in UTC.
#include "iso_formatter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vandrelis {

long long daysFromCivil(long long year, unsigned month, unsigned day) {
  year -= month <= 2;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civilFromDays(long long days, long long* year, unsigned* month, unsigned* day) {
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<long long>(yoe) + era * 400 + (*month <= 2);
}

namespace {

// The range both directions agree on: 0000-01-01T00:00:00.000Z to 9999-12-31T23:59:59.999Z,
// the instants whose UTC year has the four digits the text form allows.
constexpr long long kFirstSecond = -62167219200;  // 0000-01-01T00:00:00Z
constexpr long long kEndSecond = 253402300800;    // 10000-01-01T00:00:00Z
constexpr long long kFirstMillisecond = kFirstSecond * 1000;
constexpr long long kLastMillisecond = kEndSecond * 1000 - 1;

bool isLeap(long long year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned daysInMonth(long long year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeap(year) ? 29 : kDays[month - 1];
}

// Reads exactly `count` ASCII digits at text[pos].
bool digits(std::string_view text, std::size_t pos, std::size_t count, unsigned* value) {
  if (pos + count > text.size()) return false;
  unsigned v = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  *value = v;
  return true;
}

}  // namespace

std::string IsoFormatter::string(store::Instant instant) const {
  std::string text;
  write(instant, text);
  return text;
}

void IsoFormatter::write(store::Instant instant, std::string& text) const {
  if (std::isnan(instant)) instant = 0;
  // Clamped before any conversion to an integer, which would be undefined for huge values.
  instant = std::clamp(instant, static_cast<double>(kFirstSecond), static_cast<double>(kEndSecond));
  // Cut to the millisecond, but treat a value within binary noise of a millisecond boundary as
  // that boundary (1714552215.123 is stored as ...122999...).
  const long double scaled = static_cast<long double>(instant) * 1000.0L;
  const long double nearest = std::round(scaled);
  const long double noise =
      std::max(1e-3L, 4000.0L * (std::nextafter(std::fabs(instant), INFINITY) - std::fabs(instant)));
  // Rounding can carry the last millisecond of year 9999 into year 10000.
  const long long millis = std::clamp(
      static_cast<long long>(std::fabs(scaled - nearest) <= noise ? nearest : std::floor(scaled)),
      kFirstMillisecond, kLastMillisecond);
  long long days = millis / 86400000 - (millis % 86400000 < 0 ? 1 : 0);
  long long msOfDay = millis - days * 86400000;
  long long year;
  unsigned month, day;
  civilFromDays(days, &year, &month, &day);
  if (year < 0 || year > 9999) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ", year,
                  month, day, msOfDay / 3600000, msOfDay / 60000 % 60, msOfDay / 1000 % 60,
                  msOfDay % 1000);
    text = buffer;
    return;
  }
  // Digits by hand: formatting runs two or three times per event of a snapshot, and printf's
  // format parsing was a noticeable part of a large one.
  text = "0000-00-00T00:00:00.000Z";
  const auto put = [&](std::size_t end, long long value, int width) {
    for (int i = 0; i < width; ++i, value /= 10) text[end - static_cast<std::size_t>(i)] =
        static_cast<char>('0' + value % 10);
  };
  put(3, year, 4);
  put(6, month, 2);
  put(9, day, 2);
  put(12, msOfDay / 3600000, 2);
  put(15, msOfDay / 60000 % 60, 2);
  put(18, msOfDay / 1000 % 60, 2);
  put(22, msOfDay % 1000, 3);
}

std::optional<store::Instant> IsoFormatter::date(std::string_view text) const {
  unsigned year, month, day, hour, minute, second;
  if (!digits(text, 0, 4, &year) || text.size() < 20 || text[4] != '-' ||
      !digits(text, 5, 2, &month) || text[7] != '-' || !digits(text, 8, 2, &day) ||
      text[10] != 'T' || !digits(text, 11, 2, &hour) || text[13] != ':' ||
      !digits(text, 14, 2, &minute) || text[16] != ':' || !digits(text, 17, 2, &second) ||
      text[19] != '.') {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  std::size_t pos = 20;
  long long fractionNanos = 0;
  std::size_t fractionDigits = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    if (++fractionDigits > 9) return std::nullopt;
    fractionNanos = fractionNanos * 10 + (text[pos] - '0');
    ++pos;
  }
  if (fractionDigits < 3) return std::nullopt;
  for (std::size_t k = fractionDigits; k < 9; ++k) fractionNanos *= 10;

  long long offsetSeconds = 0;
  std::string_view zone = text.substr(pos);
  if (zone == "Z") {
    offsetSeconds = 0;
  } else {
    unsigned offsetHours, offsetMinutes;
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') ||
        !digits(zone, 1, 2, &offsetHours) || zone[3] != ':' ||
        !digits(zone, 4, 2, &offsetMinutes) || offsetHours > 23 || offsetMinutes > 59) {
      return std::nullopt;
    }
    offsetSeconds = (offsetHours * 3600LL + offsetMinutes * 60LL) * (zone[0] == '-' ? -1 : 1);
  }
  const long long seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600LL +
                            minute * 60LL + second - offsetSeconds;
  // An offset can move a local time of year 0000 or 9999 out of the range the formatter writes.
  if (seconds < kFirstSecond || seconds >= kEndSecond) return std::nullopt;
  return static_cast<double>(static_cast<long double>(seconds) +
                             static_cast<long double>(fractionNanos) / 1e9L);
}

const IsoFormatter& isoFormatter() {
  static const IsoFormatter formatter;
  return formatter;
}

}  // namespace vandrelis
