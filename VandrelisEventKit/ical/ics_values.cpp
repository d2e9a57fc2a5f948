// Reading property values: the basic and extended date forms, days past a month's end rolled
// over, TZIDs resolved through the file's zones, RFC 6868 parameter escapes, durations.
#include "ical/ics_values.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

namespace vandrelis::store::ics {
namespace {

// What one event's date, participant and status lines may hold: a line, and all of them.
constexpr std::size_t kValueLineLimit = 64 * 1024;
constexpr std::size_t kValueEventLimit = 1024 * 1024;

}  // namespace

CivilTime addSeconds(const CivilTime& t, std::int64_t seconds) {
  return civilFromSeconds(civilSeconds(t) + seconds);
}

// "+0130", "-053000"; none when malformed.
std::optional<std::int32_t> parseOffset(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.size() != 5 && text.size() != 7) return std::nullopt;
  if (text[0] != '+' && text[0] != '-') return std::nullopt;
  int parts[3] = {0, 0, 0};
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    parts[(i - 1) / 2] = parts[(i - 1) / 2] * 10 + (text[i] - '0');
  }
  if (parts[1] > 59 || parts[2] > 59) return std::nullopt;
  std::int32_t seconds = parts[0] * 3600 + parts[1] * 60 + parts[2];
  return text[0] == '-' ? -seconds : seconds;
}


// "20240501", "20240501T100000", "20240501T100000Z"; none when malformed. A day past its
// month's end rolls over ("20240230" is 1 March).
std::optional<DateTimeText> parseDateTimeText(std::string_view text) {
  auto digits = [&](std::size_t at, std::size_t count, int& out) {
    if (at + count > text.size()) return false;
    out = 0;
    for (std::size_t i = at; i < at + count; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      out = out * 10 + (text[i] - '0');
    }
    return true;
  };
  DateTimeText out;
  if (!digits(0, 4, out.time.year) || !digits(4, 2, out.time.month) ||
      !digits(6, 2, out.time.day)) {
    return std::nullopt;
  }
  if (text.size() == 8) {
    out.isDate = true;
  } else {
    if (text.size() < 15 || (text[8] != 'T' && text[8] != 't') ||
        !digits(9, 2, out.time.hour) || !digits(11, 2, out.time.minute) ||
        !digits(13, 2, out.time.second)) {
      return std::nullopt;
    }
    std::string_view rest = text.substr(15);
    if (rest == "Z" || rest == "z") {
      out.isUtc = true;
    } else if (!rest.empty()) {
      return std::nullopt;
    }
  }
  if (!rollOverDay(out.time)) return std::nullopt;
  return out;
}

// The lines an event's dates, participants and status come from. Their values are read here,
// leniently as calendar programs write them; a value that cannot be read is as though absent.
bool isValueProperty(std::string_view name) {
  static constexpr std::string_view kNames[] = {
      "DTSTART", "DTEND",  "DURATION",      "RDATE",         "EXDATE",  "RECURRENCE-ID",
      "STATUS",  "ORGANIZER", "ATTENDEE",   "LAST-MODIFIED", "DTSTAMP", "SEQUENCE"};
  for (std::string_view known : kNames) {
    if (equalsIgnoringCase(name, known)) return true;
  }
  return false;
}

// Whether an event's value lines stay within the limits that bound what one event may cost: a
// line of at most 64 KiB (a list value counts each of its values on its own) and 1 MiB in all.
bool withinValueLimits(const ComponentLines& lines) {
  std::size_t total = 0;
  for (const ContentLine& line : lines.properties) {
    if (!isValueProperty(line.name)) continue;
    const std::size_t overhead = line.name.size() + line.params.size() + 3;
    const bool isList = equalsIgnoringCase(line.name, "RDATE") || equalsIgnoringCase(line.name, "EXDATE");
    if (!isList) {
      if (overhead + line.value.size() > kValueLineLimit) return false;
      total += overhead + line.value.size();
    } else {
      std::string_view rest = line.value;
      do {
        const std::size_t comma = rest.find(',');
        const std::string_view one = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (overhead + one.size() > kValueLineLimit) return false;
        total += overhead + one.size();
      } while (!rest.empty());
    }
    if (total > kValueEventLimit) return false;
  }
  return true;
}

// A parameter's value without its quotes; RFC 6868's escapes (^n, ^' and ^^) undone when asked.
std::string parameterText(std::string_view raw, bool caretEscapes) {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '"') continue;
    if (caretEscapes && c == '^' && i + 1 < raw.size()) {
      const char next = raw[i + 1];
      if (next == 'n' || next == 'N') {
        out.push_back('\n');
        ++i;
        continue;
      }
      if (next == '\'' || next == '^') {
        out.push_back(next == '\'' ? '"' : '^');
        ++i;
        continue;
      }
    }
    out.push_back(c);
  }
  return out;
}


ValueParameters valueParameters(const ContentLine& line) {
  ValueParameters out;
  if (line.params.empty()) return out;
  bool hasRange = false;
  for (auto [name, raw] : splitParameters(line.params)) {
    if (equalsIgnoringCase(name, "TZID")) {
      if (!out.tzid) out.tzid = parameterText(raw, false);
    } else if (equalsIgnoringCase(name, "CN")) {
      if (!out.commonName) out.commonName = parameterText(raw, true);
    } else if (equalsIgnoringCase(name, "PARTSTAT")) {
      if (!out.participation) out.participation = parameterText(raw, false);
    } else if (equalsIgnoringCase(name, "RANGE") && !hasRange) {
      hasRange = true;
      out.thisAndFuture = equalsIgnoringCase(trimBlanks(parameterText(raw, false)), "THISANDFUTURE");
    }
  }
  return out;
}

// A DATE or DATE-TIME value, also in the extended forms "2024-05-01" and
// "2024-05-01T10:00:00Z"; none when malformed.
std::optional<DateTimeText> parseTimeValueText(std::string_view text) {
  text = trimBlanks(text);
  if (text.size() == 10 || text.size() == 19 || text.size() == 20) {
    // Extended: drop the separators and read the basic form.
    static constexpr std::size_t kSeparators[] = {4, 7, 10, 13, 16};
    static constexpr char kExpected[] = {'-', '-', 'T', ':', ':'};
    char basic[17];
    std::size_t length = 0;
    for (std::size_t i = 0, s = 0; i < text.size(); ++i) {
      if (s < 5 && i == kSeparators[s]) {
        if (text[i] != kExpected[s] && !(s == 2 && text[i] == 't')) return std::nullopt;
        if (s == 2) basic[length++] = 'T';
        ++s;
        continue;
      }
      basic[length++] = text[i];
    }
    return parseDateTimeText(std::string_view(basic, length));
  }
  return parseDateTimeText(text);
}

// The time of a DATE or DATE-TIME value in the zone its TZID names (a file's VTIMEZONE first,
// then the system's database); a floating time or a date is read in the process's own zone.
std::optional<TimeValue> timeValue(std::string_view text, const ValueParameters& params,
                                   FileZones& zones) {
  std::optional<DateTimeText> parsed = parseTimeValueText(text);
  if (!parsed || parsed->time.year <= 0) return std::nullopt;
  TimeValue value;
  value.isDate = parsed->isDate;
  value.wall = parsed->isDate ? dateOnly(parsed->time) : parsed->time;
  value.isUtc = !parsed->isDate && parsed->isUtc;
  if (params.tzid) {
    value.tzid = *params.tzid;
    if (!value.isDate && !value.isUtc) value.zone = zones.zone(*params.tzid);
  }
  if (value.isUtc) {
    value.zone = zones.utc();
  } else if (value.isDate || !value.zone) {
    value.zone = zones.local();
    value.floating = true;
  }
  return value;
}

std::optional<ParsedDuration> parseDuration(std::string_view text) {
  text = trimBlanks(text);
  ParsedDuration out;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    out.negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() != 'P') return std::nullopt;
  text.remove_prefix(1);
  bool inTime = false;
  std::int64_t weeks = 0, days = 0, seconds = 0;
  while (!text.empty()) {
    if (text.front() == 'T' && !inTime) {
      inTime = true;
      text.remove_prefix(1);
      continue;
    }
    std::size_t digits = 0;
    std::int64_t number = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
      if (digits == 9) return std::nullopt;  // no calendar needs a billion of any unit
      number = number * 10 + (text[digits] - '0');
      ++digits;
    }
    if (digits == 0 || digits == text.size()) return std::nullopt;
    const char unit = text[digits];
    text.remove_prefix(digits + 1);
    if (!inTime && unit == 'W') {
      weeks += number;
    } else if (!inTime && unit == 'D') {
      days += number;
    } else if (inTime && unit == 'H') {
      seconds += number * 3600;
    } else if (inTime && unit == 'M') {
      seconds += number * 60;
    } else if (inTime && unit == 'S') {
      seconds += number;
    } else {
      return std::nullopt;
    }
  }
  out.duration = Duration{days + 7 * weeks, seconds};
  return out;
}

// An INTEGER value as calendar programs write it: leading digits after blanks and a sign,
// anything after them ignored, saturated to 32 bits; 0 when there are none.
std::int64_t integerValue(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = std::min<std::int64_t>(value * 10 + (c - '0'), std::numeric_limits<std::int32_t>::max());
  }
  return negative ? -value : value;
}

std::int64_t participantStatus(const ValueParameters& params, bool isAttendee) {
  // An attendee without PARTSTAT has not answered yet (NEEDS-ACTION by default).
  if (!params.participation) return isAttendee ? 1 : 0;
  static constexpr std::pair<std::string_view, std::int64_t> kStatuses[] = {
      {"NEEDS-ACTION", 1}, {"ACCEPTED", 2},  {"DECLINED", 3},   {"TENTATIVE", 4},
      {"DELEGATED", 5},    {"COMPLETED", 6}, {"IN-PROCESS", 7}, {"INPROCESS", 7}};
  const std::string_view value = trimBlanks(*params.participation);
  for (auto [name, status] : kStatuses) {
    if (equalsIgnoringCase(value, name)) return status;
  }
  return 0;
}

std::shared_ptr<const Participant> participant(const ContentLine& line, bool isAttendee,
                                               const IcsItem& item) {
  ValueParameters params = valueParameters(line);
  const std::string_view url = trimBlanks(line.value);
  bool isCurrentUser = url.size() >= 7 && equalsIgnoringCase(url.substr(0, 7), "mailto:") &&
                       item.isOwnAddress && item.isOwnAddress(url.substr(7));
  return std::make_shared<VdirParticipant>(std::move(params.commonName), std::string(url),
                                           isCurrentUser, participantStatus(params, isAttendee));
}

std::int64_t eventStatus(std::string_view value) {
  value = trimBlanks(value);
  if (equalsIgnoringCase(value, "CONFIRMED")) return 1;
  if (equalsIgnoringCase(value, "TENTATIVE")) return 2;
  if (equalsIgnoringCase(value, "CANCELLED")) return 3;
  return 0;
}

}  // namespace vandrelis::store::ics
