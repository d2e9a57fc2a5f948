// RRULE parsing: the parts of a rule, read leniently where calendar programs write them so
// ("FREQ=DAILY;" with a trailing semicolon, lower-case words) and refused when ambiguous.
#include "ical/recurrence_rule.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace vandrelis::store {
namespace {

using Int = std::int64_t;

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equalsUpper(std::string_view text, std::string_view upperWord) {
  if (text.size() != upperWord.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (upper(text[i]) != upperWord[i]) return false;
  }
  return true;
}

std::optional<Int> parseInteger(std::string_view text, bool allowSign) {
  bool negative = false;
  if (allowSign && !text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 18) return std::nullopt;
  Int value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return negative ? -value : value;
}

std::optional<int> parseWeekday(std::string_view text) {
  static constexpr std::string_view kNames[] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
  for (int i = 0; i < 7; ++i) {
    if (equalsUpper(text, kNames[i])) return i;
  }
  return std::nullopt;
}

template <typename Item, typename ParseItem>
bool parseList(std::string_view text, std::vector<Item>& out, ParseItem parseItem) {
  while (true) {
    std::size_t comma = text.find(',');
    std::optional<Item> item = parseItem(text.substr(0, comma));
    if (!item) return false;
    out.push_back(*item);
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

// A list of integers in [low, high]; zero is refused when negatives are allowed (±n lists).
bool parseNumbers(std::string_view text, std::vector<int>& out, int low, int high) {
  return parseList(text, out, [&](std::string_view item) -> std::optional<int> {
    auto value = parseInteger(item, low < 0);
    if (!value || *value < low || *value > high || (low < 0 && *value == 0)) return std::nullopt;
    return static_cast<int>(*value);
  });
}

std::optional<RecurrenceRule::Until> parseUntil(std::string_view text) {
  auto digits = [&](std::size_t at, std::size_t length) -> std::optional<int> {
    if (at + length > text.size()) return std::nullopt;
    auto value = parseInteger(text.substr(at, length), false);
    if (!value) return std::nullopt;
    return static_cast<int>(*value);
  };
  RecurrenceRule::Until until;
  auto year = digits(0, 4), month = digits(4, 2), day = digits(6, 2);
  if (!year || !month || !day) return std::nullopt;
  until.time = CivilTime{*year, *month, *day, 0, 0, 0};
  if (text.size() == 8) {
    until.isDate = true;
  } else {
    if (text.size() < 15 || upper(text[8]) != 'T') return std::nullopt;
    auto hour = digits(9, 2), minute = digits(11, 2), second = digits(13, 2);
    if (!hour || !minute || !second) return std::nullopt;
    until.time.hour = *hour;
    until.time.minute = *minute;
    until.time.second = *second;
    if (text.size() == 16 && upper(text[15]) == 'Z') {
      until.isUtc = true;
    } else if (text.size() != 15) {
      return std::nullopt;
    }
  }
  if (!rollOverDay(until.time)) return std::nullopt;  // 20240230 is 1 March, as for DTSTART
  return until;
}

std::optional<WeekdayNum> parseWeekdayNum(std::string_view text) {
  if (text.size() < 2) return std::nullopt;
  auto weekday = parseWeekday(text.substr(text.size() - 2));
  if (!weekday) return std::nullopt;
  WeekdayNum out;
  out.weekday = *weekday;
  std::string_view ordinal = text.substr(0, text.size() - 2);
  if (!ordinal.empty()) {
    auto value = parseInteger(ordinal, true);
    if (!value || *value == 0 || *value < -53 || *value > 53) return std::nullopt;
    out.ordinal = static_cast<int>(*value);
  }
  return out;
}

bool parsePart(RecurrenceRule& rule, std::string_view name, std::string_view value,
               bool& hasFrequency) {
  if (equalsUpper(name, "FREQ")) {
    static constexpr std::string_view kNames[] = {"SECONDLY", "MINUTELY", "HOURLY", "DAILY",
                                                  "WEEKLY",   "MONTHLY",  "YEARLY"};
    for (int i = 0; i < 7; ++i) {
      if (equalsUpper(value, kNames[i])) {
        rule.frequency = static_cast<Frequency>(i);
        hasFrequency = true;
        return true;
      }
    }
    return false;
  }
  if (equalsUpper(name, "INTERVAL")) {
    auto interval = parseInteger(value, false);
    if (!interval || *interval < 1 || *interval > std::numeric_limits<int>::max()) return false;
    rule.interval = static_cast<int>(*interval);
    return true;
  }
  if (equalsUpper(name, "COUNT")) {
    rule.count = parseInteger(value, false);
    return rule.count && *rule.count >= 1;
  }
  if (equalsUpper(name, "UNTIL")) return (rule.until = parseUntil(value)).has_value();
  if (equalsUpper(name, "BYSECOND")) return parseNumbers(value, rule.bySecond, 0, 60);
  if (equalsUpper(name, "BYMINUTE")) return parseNumbers(value, rule.byMinute, 0, 59);
  if (equalsUpper(name, "BYHOUR")) return parseNumbers(value, rule.byHour, 0, 23);
  if (equalsUpper(name, "BYDAY")) return parseList(value, rule.byDay, parseWeekdayNum);
  if (equalsUpper(name, "BYMONTHDAY")) return parseNumbers(value, rule.byMonthDay, -31, 31);
  if (equalsUpper(name, "BYYEARDAY")) return parseNumbers(value, rule.byYearDay, -366, 366);
  if (equalsUpper(name, "BYWEEKNO")) return parseNumbers(value, rule.byWeekNo, -53, 53);
  if (equalsUpper(name, "BYMONTH")) return parseNumbers(value, rule.byMonth, 1, 12);
  if (equalsUpper(name, "BYSETPOS")) return parseNumbers(value, rule.bySetPos, -366, 366);
  if (equalsUpper(name, "WKST")) {
    auto weekday = parseWeekday(value);
    if (weekday) rule.weekStart = *weekday;
    return weekday.has_value();
  }
  if (equalsUpper(name, "RSCALE")) return equalsUpper(value, "GREGORIAN");
  // Skipping invalid dates is the only choice without RSCALE, and the only one followed.
  if (equalsUpper(name, "SKIP")) return equalsUpper(value, "OMIT");
  return false;
}

}  // namespace

std::optional<RecurrenceRule> parseRecurrenceRule(std::string_view value) {
  RecurrenceRule rule;
  bool hasFrequency = false;
  std::vector<std::string_view> seen;
  while (!value.empty()) {
    std::size_t semicolon = value.find(';');
    std::string_view part = value.substr(0, semicolon);
    value = semicolon == std::string_view::npos ? std::string_view() : value.substr(semicolon + 1);
    if (part.empty()) continue;  // "FREQ=DAILY;" is common
    std::size_t equals = part.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    std::string_view name = part.substr(0, equals);
    for (std::string_view other : seen) {
      if (other.size() == name.size() && std::equal(name.begin(), name.end(), other.begin(),
                                                    [](char a, char b) { return upper(a) == upper(b); })) {
        return std::nullopt;
      }
    }
    seen.push_back(name);
    if (!parsePart(rule, name, part.substr(equals + 1), hasFrequency)) return std::nullopt;
  }
  if (!hasFrequency) return std::nullopt;
  return rule;
}

}  // namespace vandrelis::store
