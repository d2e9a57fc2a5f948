// A file is outlined by the project's own reader, then handled one event (one UID) at a time;
// values, recurrence and zones are read here too. Series are expanded in the wall time of their
// DTSTART's zone and converted afterwards, so a weekly 10:00 meeting stays at 10:00 across a
// DST change and every instant comes from one zone database.
#include "ical/ics_events.h"

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <tuple>
#include <unordered_map>

#include <unicode/ures.h>

#include "ical/ics_reader.h"
#include "ical/recurrence_rule.h"
#include "ical/time_zone.h"

namespace vandrelis::store {
namespace {

constexpr std::int64_t kDaySeconds = 86400;
constexpr Instant kInfinity = std::numeric_limits<Instant>::infinity();
// The largest offsets of any zone: a floating time means a different instant in each.
constexpr Instant kFloatingMargin = 14 * 3600;
// What one event's date, participant and status lines may hold: a line, and all of them.
constexpr std::size_t kValueLineLimit = 64 * 1024;
constexpr std::size_t kValueEventLimit = 1024 * 1024;
constexpr std::size_t kZoneDefinitionLimit = 256 * 1024;
constexpr std::size_t kRuleLimit = 4096;
// A COUNT rule is expanded this far to find its last occurrence for the item's span; past it
// the span is left open, which is never wrong.
constexpr int kSpanCountLimit = 10'000;


// ---- Zones --------------------------------------------------------------------------------

using ZonePtr = std::shared_ptr<const TimeZone>;

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

struct DateTimeText {
  CivilTime time;
  bool isDate = false;
  bool isUtc = false;
};

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

// A VTIMEZONE's observances; none when it gives no usable one.
std::optional<std::vector<ZoneObservance>> observancesOf(std::string_view definition) {
  ComponentLines lines = readComponent(definition);
  std::vector<ZoneObservance> observances;
  for (const ComponentLines::Child& child : lines.children) {
    std::vector<DateTimeText> rdates;
    if (child.kind != "STANDARD" && child.kind != "DAYLIGHT") continue;
    ZoneObservance observance;
    bool hasStart = false, hasFrom = false, hasTo = false;
    for (const ContentLine& line : child.properties) {
      if (equalsIgnoringCase(line.name, "DTSTART")) {
        if (auto value = parseDateTimeText(line.value)) {
          observance.start = value->time;
          hasStart = true;
        }
      } else if (equalsIgnoringCase(line.name, "TZOFFSETFROM")) {
        if (auto offset = parseOffset(line.value)) observance.offsetFrom = *offset, hasFrom = true;
      } else if (equalsIgnoringCase(line.name, "TZOFFSETTO")) {
        if (auto offset = parseOffset(line.value)) observance.offsetTo = *offset, hasTo = true;
      } else if (equalsIgnoringCase(line.name, "RRULE") && line.value.size() <= kRuleLimit) {
        observance.rule = parseRecurrenceRule(line.value);
      } else if (equalsIgnoringCase(line.name, "RDATE")) {
        std::string_view rest = line.value;
        while (!rest.empty()) {
          std::size_t comma = rest.find(',');
          std::string_view one = rest.substr(0, comma);
          rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
          if (auto value = parseDateTimeText(one)) rdates.push_back(*value);
        }
      }
    }
    if (!hasTo) continue;
    if (!hasFrom) observance.offsetFrom = observance.offsetTo;
    if (!hasStart) observance.start = CivilTime{1600, 1, 1};
    // RDATEs written in UTC are moved to local time in offsetFrom, as the others are.
    for (const DateTimeText& rdate : rdates) {
      observance.rdates.push_back(rdate.isUtc ? addSeconds(rdate.time, observance.offsetFrom)
                                              : rdate.time);
    }
    observances.push_back(std::move(observance));
  }
  if (observances.empty()) return std::nullopt;
  return observances;
}

// Zones built from files' VTIMEZONEs, shared by every file with the same definition (servers
// repeat one VTIMEZONE in each item), bounded so that files of distinct definitions cannot
// grow the process: when full, the cache starts again.
ZonePtr sharedDefinedZone(std::string_view definition) {
  static constexpr std::size_t kEntries = 128;
  static constexpr std::size_t kBytes = 4 * 1024 * 1024;
  static std::mutex mutex;
  static auto* cache = new std::unordered_map<std::string, ZonePtr>();
  static std::size_t bytes = 0;
  {
    std::lock_guard lock(mutex);
    if (auto it = cache->find(std::string(definition)); it != cache->end()) return it->second;
  }
  ZonePtr zone;
  if (auto observances = observancesOf(definition)) zone = definedTimeZone(std::move(*observances));
  std::lock_guard lock(mutex);
  if (cache->size() >= kEntries || bytes + definition.size() > kBytes) {
    cache->clear();
    bytes = 0;
  }
  if (definition.size() <= kBytes) {
    cache->emplace(std::string(definition), zone);
    bytes += definition.size();
  }
  return zone;
}

// TZIDs are looked up in the file's own VTIMEZONEs first, then in the system's database. A
// VTIMEZONE's TZID property is TEXT, so its escapes are undone before matching: Exchange writes
// "TZID:(UTC+07:00) Bangkok\, Hanoi" there and "TZID=\"(UTC+07:00) Bangkok, Hanoi\"" in the
// events (a parameter has no escapes). The property as written still matches when no zone's
// unescaped TZID is that text.
class FileZones {
 public:
  explicit FileZones(const IcsOutline& outline)
      : local_(localTimeZone()), utc_(utcTimeZone()) {
    std::vector<std::pair<std::string, std::string_view>> escaped;
    for (const ComponentText& component : outline.components) {
      if (component.kind != ComponentKind::timeZone || !component.readable) continue;
      if (std::optional<std::string> tzid = firstProperty(component.text, "TZID")) {
        std::string text = unescapeText(*tzid);
        if (text.size() != tzid->size()) escaped.emplace_back(std::move(*tzid), component.text);
        definitions_.emplace(std::move(text), component.text);  // the first one wins
      }
    }
    for (auto& [tzid, text] : escaped) definitions_.emplace(std::move(tzid), text);
  }

  ZonePtr zone(const std::string& tzid) {
    if (auto it = resolved_.find(tzid); it != resolved_.end()) return it->second;
    ZonePtr found;
    if (auto it = definitions_.find(tzid); it != definitions_.end()) {
      if (it->second.size() <= kZoneDefinitionLimit) found = sharedDefinedZone(it->second);
    }
    if (!found) {
      if (std::optional<std::string> iana = ianaZoneForTzid(tzid)) found = systemTimeZone(*iana);
    }
    resolved_.emplace(tzid, found);
    return found;
  }

  const ZonePtr& local() const { return local_; }
  const ZonePtr& utc() const { return utc_; }

 private:
  ZonePtr local_;
  ZonePtr utc_;
  std::unordered_map<std::string, std::string_view> definitions_;
  std::unordered_map<std::string, ZonePtr> resolved_;
};

// ---- Times --------------------------------------------------------------------------------

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

CivilTime dateOnly(CivilTime t) { return CivilTime{t.year, t.month, t.day}; }

std::int64_t dayNumber(const CivilTime& t) { return daysFromCivil(t.year, t.month, t.day); }

struct Duration {
  std::int64_t days = 0;  // nominal: whole days in wall time
  std::int64_t seconds = 0;
};

// ---- Property values ----------------------------------------------------------------------

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

// The parameters of one value line that an event's reading uses (the first of each name).
struct ValueParameters {
  std::optional<std::string> tzid;  // as written, quotes removed: matched against VTIMEZONEs
  std::optional<std::string> commonName;
  std::optional<std::string> participation;
  bool thisAndFuture = false;
};

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

// "P1W", "-P2DT3H", "PT90S" (RFC 5545's forms; a week may also come with days); none when
// malformed. Negative durations are given as such: the callers decide what they mean.
struct ParsedDuration {
  bool negative = false;
  Duration duration;
};
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

// ---- One version of an event --------------------------------------------------------------

struct Rdate {
  TimeValue start;
  std::optional<TimeValue> end;
  std::optional<std::int64_t> seconds;  // a period given by its duration
};

struct EventVersion {
  std::size_t order = 0;
  std::optional<TimeValue> recurrenceId;
  bool thisAndFuture = false;
  std::int64_t sequence = 0;
  std::optional<Instant> lastModified;
  std::optional<Instant> stamp;
  std::optional<TimeValue> start;
  std::optional<TimeValue> end;
  std::optional<Duration> duration;
  std::vector<RecurrenceRule> rules;
  bool hasRules = false;  // an RRULE property, even one this expander does not follow
  std::vector<Rdate> rdates;
  std::vector<TimeValue> exdates;
  std::shared_ptr<VdirEventData> data;

  bool recurs() const { return hasRules || !rdates.empty(); }
};

std::optional<std::string> textOf(const ComponentLines& lines, std::string_view name) {
  for (const ContentLine& line : lines.properties) {
    if (equalsIgnoringCase(line.name, name)) return unescapeText(line.value);
  }
  return std::nullopt;
}

// None when the component cannot be read.
std::optional<EventVersion> readVersion(std::string_view componentText, std::size_t order,
                                        const IcsItem& item, const std::string& identifier,
                                        FileZones& zones) {
  ComponentLines lines = readComponent(componentText);
  if (!withinValueLimits(lines)) return std::nullopt;

  EventVersion version;
  version.order = order;
  auto data = std::make_shared<VdirEventData>();
  data->calendar = item.calendar;
  data->itemIdentifier = identifier;
  data->uid = textOf(lines, "UID");
  if (data->uid && data->uid->empty()) data->uid.reset();  // "UID:" is no UID
  data->title = textOf(lines, "SUMMARY");
  data->notes = textOf(lines, "DESCRIPTION");
  data->location = textOf(lines, "LOCATION");
  // Of each single-valued property the first that can be read counts (a malformed copy is
  // passed over); every RDATE, EXDATE and ATTENDEE does.
  const ContentLine *sequenceLine = nullptr, *statusLine = nullptr, *organizerLine = nullptr,
                    *urlLine = nullptr;
  const auto once = [](const ContentLine*& slot, const ContentLine& line) {
    if (slot == nullptr) slot = &line;
  };
  const auto firstTime = [&](std::optional<TimeValue>& slot, const ContentLine& line) {
    if (!slot) slot = timeValue(line.value, valueParameters(line), zones);
  };
  std::optional<TimeValue> modified, stamp;
  bool hasDuration = false;
  for (const ContentLine& line : lines.properties) {
    const std::string_view name = line.name;
    if (name.empty()) continue;
    switch (name.front() & ~0x20) {  // the first letter in upper case
      case 'A':
        if (equalsIgnoringCase(name, "ATTENDEE")) {
          if (!data->attendees) data->attendees.emplace();
          data->attendees->push_back(participant(line, true, item));
        }
        break;
      case 'D':
        if (equalsIgnoringCase(name, "DTSTART")) {
          firstTime(version.start, line);
        } else if (equalsIgnoringCase(name, "DTEND")) {
          firstTime(version.end, line);
        } else if (equalsIgnoringCase(name, "DTSTAMP")) {
          firstTime(stamp, line);
        } else if (equalsIgnoringCase(name, "DURATION") && !hasDuration) {
          if (auto duration = parseDuration(line.value)) {
            hasDuration = true;
            if (!duration->negative) version.duration = duration->duration;
          }
        }
        break;
      case 'E':
      case 'R':
        if (equalsIgnoringCase(name, "RRULE")) {
          version.hasRules = true;
          if (line.value.size() > kRuleLimit) break;
          if (std::optional<RecurrenceRule> rule = parseRecurrenceRule(line.value)) {
            version.rules.push_back(std::move(*rule));
          }
        } else if (equalsIgnoringCase(name, "RECURRENCE-ID")) {
          if (!version.recurrenceId) {
            const ValueParameters params = valueParameters(line);
            version.recurrenceId = timeValue(line.value, params, zones);
            version.thisAndFuture = version.recurrenceId && params.thisAndFuture;
          }
        } else if (equalsIgnoringCase(name, "RDATE") || equalsIgnoringCase(name, "EXDATE")) {
          const bool isRdate = (name.front() & ~0x20) == 'R';
          const ValueParameters params = valueParameters(line);
          std::string_view rest = line.value;
          while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            const std::string_view one = rest.substr(0, comma);
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            if (!isRdate) {
              if (auto t = timeValue(one, params, zones)) version.exdates.push_back(std::move(*t));
            } else if (auto t = timeValue(one, params, zones)) {
              version.rdates.push_back({std::move(*t), std::nullopt, std::nullopt});
            } else if (const std::size_t slash = one.find('/'); slash != std::string_view::npos) {
              // A period: its start, and its end or its duration.
              if (auto periodStart = timeValue(one.substr(0, slash), params, zones)) {
                Rdate rdate{std::move(*periodStart), std::nullopt, std::nullopt};
                const std::string_view second = one.substr(slash + 1);
                if (auto periodEnd = timeValue(second, params, zones)) {
                  rdate.end = std::move(periodEnd);
                } else if (auto duration = parseDuration(second)) {
                  if (!duration->negative) {
                    rdate.seconds = duration->duration.days * kDaySeconds + duration->duration.seconds;
                  }
                } else {
                  continue;
                }
                version.rdates.push_back(std::move(rdate));
              }
            }
          }
        }
        break;
      case 'L':
        if (equalsIgnoringCase(name, "LAST-MODIFIED")) firstTime(modified, line);
        break;
      case 'O':
        if (equalsIgnoringCase(name, "ORGANIZER")) once(organizerLine, line);
        break;
      case 'S':
        if (equalsIgnoringCase(name, "SEQUENCE")) once(sequenceLine, line);
        else if (equalsIgnoringCase(name, "STATUS")) once(statusLine, line);
        break;
      case 'U':
        if (equalsIgnoringCase(name, "URL")) once(urlLine, line);
        break;
      default:
        break;
    }
  }
  if (urlLine != nullptr) data->url = urlLine->value;
  data->status = statusLine != nullptr ? eventStatus(statusLine->value) : 0;
  if (organizerLine != nullptr) data->organizer = participant(*organizerLine, false, item);
  if (sequenceLine != nullptr) version.sequence = integerValue(sequenceLine->value);
  if (modified) {
    version.lastModified = modified->instant();
    data->lastModified = version.lastModified;
  }
  if (stamp) version.stamp = stamp->instant();
  if (version.start) {
    data->isAllDay = version.start->isDate;
    if (!version.start->isFloating() && !version.start->isUtc && version.start->tzid) {
      data->timeZone = ianaZoneForTzid(*version.start->tzid);
    }
  }
  version.data = std::move(data);
  return version;
}

// Which version of one event (one UID and RECURRENCE-ID) counts: one with a usable DTSTART
// over one without (an iTIP REPLY kept in the file, newer but without DTSTART, is no version
// of the event), then the highest SEQUENCE, the latest LAST-MODIFIED, DTSTAMP, and the last in
// the file.
bool supersedes(const EventVersion& a, const EventVersion& b) {
  if (a.start.has_value() != b.start.has_value()) return a.start.has_value();
  if (a.sequence != b.sequence) return a.sequence > b.sequence;
  if (a.lastModified != b.lastModified) return a.lastModified > b.lastModified;
  if (a.stamp != b.stamp) return a.stamp > b.stamp;
  return a.order > b.order;
}

// ---- Expansion ----------------------------------------------------------------------------

bool overlaps(Instant start, Instant end, Instant windowStart, Instant windowEnd) {
  if (end <= start) return start >= windowStart && start < windowEnd;
  return start < windowEnd && end > windowStart;
}

// How long each occurrence of a version lasts.
struct Length {
  std::int64_t days = 0;  // whole days in wall time (all-day events: their number of days)
  Instant seconds = 0;
  Instant approximate() const { return static_cast<Instant>(days * kDaySeconds) + seconds; }
};

Length lengthOf(const EventVersion& version) {
  const TimeValue& start = *version.start;
  Length length;
  if (version.end) {
    if (start.isDate) {
      std::int64_t days = dayNumber(version.end->wall) - dayNumber(start.wall);
      if (!version.end->isDate && (version.end->wall.hour || version.end->wall.minute ||
                                   version.end->wall.second)) {
        ++days;
      }
      length.days = std::clamp<std::int64_t>(days, 1, 1'000'000);
    } else {
      length.seconds = std::max<Instant>(0, version.end->instant() - start.instant());
    }
    return length;
  }
  if (version.duration) {
    length.days = std::min<std::int64_t>(version.duration->days, 1'000'000);
    length.seconds = static_cast<Instant>(version.duration->seconds);
    if (start.isDate) {
      length.days += (version.duration->seconds + kDaySeconds - 1) / kDaySeconds;
      length.seconds = 0;
      length.days = std::max<std::int64_t>(length.days, 1);
    }
    return length;
  }
  if (start.isDate) length.days = 1;
  return length;
}

// An occurrence's end from its wall start (in the series' zone) and start instant.
Instant endOf(const TimeZone& zone, const CivilTime& wall, Instant start, bool isDate,
              const Length& length) {
  if (isDate) {
    CivilTime last = civilFromDays(dayNumber(wall) + length.days);
    // An all-day event ends one second before midnight after its last day.
    return static_cast<Instant>(zone.toInstant(last)) - 1;
  }
  if (length.days == 0) return start + length.seconds;
  CivilTime later = civilFromDays(dayNumber(wall) + length.days);
  later.hour = wall.hour;
  later.minute = wall.minute;
  later.second = wall.second;
  return static_cast<Instant>(zone.toInstant(later)) + length.seconds;
}

// How an EXDATE or RECURRENCE-ID names an occurrence: by its start instant, or by its date
// when either side is a date. An all-day series named by a DATE-TIME (midnight UTC or in some
// zone, as several calendar servers write it) is matched by the date as written, so that the
// result does not depend on the process's zone.
struct OccurrenceKey {
  bool byDate = false;
  std::int64_t value = 0;
  auto operator<=>(const OccurrenceKey&) const = default;
};

OccurrenceKey keyOf(const TimeValue& value, bool seriesIsAllDay) {
  if (value.isDate || seriesIsAllDay) return {true, dayNumber(value.wall)};
  return {false, static_cast<std::int64_t>(std::floor(value.instant()))};
}

struct Candidate {
  CivilTime wall;  // in the series' zone
  Instant start;
  std::optional<Instant> end;  // an RDATE period's own end, or the end already worked out
};

struct SpanBuilder {
  Instant earliest = kInfinity;
  Instant latest = -kInfinity;
  void add(Instant start, Instant end, bool floating) {
    Instant margin = floating ? kFloatingMargin : 0;
    earliest = std::min(earliest, start - margin);
    latest = std::max(latest, std::max(start, end) + margin);
  }
};

// The UNTIL of a rule as a wall time of the series. A date on a timed series (which RFC 5545
// forbids) is its midnight in DTSTART's zone, as python-dateutil and ical.js read it: DAILY
// from 1 May 10:00 until 3 May gives 1 and 2 May.
std::optional<CivilTime> untilInSeries(const RecurrenceRule& rule, const TimeValue& start) {
  if (!rule.until) return std::nullopt;
  const RecurrenceRule::Until& until = *rule.until;
  if (until.isDate) return dateOnly(until.time);
  if (until.isUtc && !start.isFloating()) {
    return start.timeZone().toCivil(civilSeconds(until.time));
  }
  if (start.isDate) return dateOnly(until.time);
  return until.time;
}

class GroupExpander {
 public:
  GroupExpander(Instant windowStart, Instant windowEnd, VdirEventList& out, SpanBuilder* span)
      : windowStart_(windowStart), windowEnd_(windowEnd), out_(out), span_(span) {}

  void expand(std::vector<EventVersion>& versions) {
    const EventVersion* master = nullptr;
    for (const EventVersion& version : versions) {
      if (!version.recurrenceId && (master == nullptr || supersedes(version, *master))) {
        master = &version;
      }
    }
    bool seriesIsAllDay = master != nullptr && master->start && master->start->isDate;
    bool seriesRecurs = master != nullptr && master->recurs();
    std::map<OccurrenceKey, const EventVersion*> overrides;
    for (const EventVersion& version : versions) {
      if (!version.recurrenceId) continue;
      auto [it, added] = overrides.emplace(keyOf(*version.recurrenceId, seriesIsAllDay), &version);
      if (!added && supersedes(version, *it->second)) it->second = &version;
    }
    for (auto& [key, version] : overrides) {
      version->data->hasRecurrenceRules = seriesRecurs;
    }
    if (master != nullptr) expandMaster(*master, overrides);
    for (auto& [key, version] : overrides) emitOverride(*version, master);
  }

 private:
  struct Range {
    Instant from;  // the original occurrence's start from which the override's changes apply
    OccurrenceKey key;
    const EventVersion* version;
    std::int64_t shift;  // wall seconds
    Length length;
  };

  void expandMaster(const EventVersion& master,
                    const std::map<OccurrenceKey, const EventVersion*>& overrides) {
    if (!master.start) {
      // No start: handed on as it is, for the conversion to leave out; it belongs to no span.
      emit(master.data, std::nullopt, std::nullopt, std::nullopt);
      if (span_ != nullptr) span_->add(-kInfinity, kInfinity, false);
      return;
    }
    const TimeValue& start = *master.start;
    const TimeZone& zone = start.timeZone();
    bool isDate = start.isDate;
    bool recurs = master.recurs();
    master.data->hasRecurrenceRules = recurs;
    Length length = lengthOf(master);
    Instant startInstant = start.instant();

    // "This and future" overrides, in order of the occurrence they start at.
    std::vector<Range> ranges;
    Instant widest = 0;
    for (const auto& [key, version] : overrides) {
      if (!version->thisAndFuture || !version->start) continue;
      Instant from = occurrenceInstant(*version->recurrenceId, isDate, zone);
      CivilTime fromWall = isDate ? dateOnly(version->recurrenceId->wall)
                                  : zone.toCivil(static_cast<std::int64_t>(std::floor(from)));
      CivilTime toWall = isDate ? dateOnly(version->start->wall)
                                : zone.toCivil(static_cast<std::int64_t>(std::floor(version->start->instant())));
      std::int64_t shift = civilSeconds(toWall) - civilSeconds(fromWall);
      Length rangeLength = lengthOf(*version);
      if (isDate != version->start->isDate) rangeLength = length;
      ranges.push_back({from, key, version, shift, rangeLength});
      widest = std::max({widest, std::abs(static_cast<Instant>(shift)), rangeLength.approximate()});
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const Range& a, const Range& b) { return a.from < b.from; });

    std::set<OccurrenceKey> excluded;
    if (recurs) {
      for (const TimeValue& exdate : master.exdates) excluded.insert(keyOf(exdate, isDate));
    }

    if (span_ != nullptr) addToSpan(master, length, startInstant, widest);

    // Bounds by start instant, widened by the series' length, a zone's offset and the shifts
    // of "this and future" overrides.
    Instant lower = windowStart_ - length.approximate() - widest - 2 * kDaySeconds;
    Instant upper = windowEnd_ + widest + kDaySeconds;
    // The walk starts a little early (wall times). Only occurrences that may reach the window
    // count against the item's bound: exactly those that overlap it, or with "this and
    // future" overrides, which move occurrences, those that start late enough.
    Instant reach = windowStart_ - length.approximate() - widest - kDaySeconds - 3 * 3600;
    std::vector<Candidate> candidates;
    candidates.push_back({start.wall, startInstant, std::nullopt});
    if (recurs) {
      ExpansionRange range{clampedCivil(zone, lower), clampedCivil(zone, upper), std::nullopt};
      for (const RecurrenceRule& rule : master.rules) {
        if (occurrencesLeft_ <= 0) break;
        range.until = untilInSeries(rule, start);
        expandRecurrence(rule, start.wall, range, [&](const CivilTime& wall) {
          auto at = static_cast<Instant>(zone.toInstant(wall));
          std::optional<Instant> end;
          if (ranges.empty()) {
            end = endOf(zone, wall, at, isDate, length);
            if (!overlaps(at, *end, windowStart_, windowEnd_)) return true;
          } else if (at < reach) {
            return true;
          }
          candidates.push_back({wall, at, end});
          return --occurrencesLeft_ > 0;
        });
      }
      for (const Rdate& rdate : master.rdates) {
        Instant at = rdate.start.instant();
        CivilTime wall = isDate ? dateOnly(rdate.start.wall)
                                : zone.toCivil(static_cast<std::int64_t>(std::floor(at)));
        if (isDate) at = static_cast<Instant>(zone.toInstant(wall));
        std::optional<Instant> end;
        if (rdate.end) end = std::max(at, rdate.end->instant());
        if (rdate.seconds) end = at + static_cast<Instant>(*rdate.seconds);
        candidates.push_back({wall, at, end});
      }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.start < b.start; });
    std::optional<Instant> previous;
    for (const Candidate& candidate : candidates) {
      if (previous && *previous == candidate.start) continue;  // an RDATE on a rule's date
      previous = candidate.start;
      OccurrenceKey key = isDate ? OccurrenceKey{true, dayNumber(candidate.wall)}
                                 : OccurrenceKey{false, static_cast<std::int64_t>(std::floor(candidate.start))};
      OccurrenceKey dateKey{true, dayNumber(candidate.wall)};
      if (excluded.contains(key) || excluded.contains(dateKey) || overrides.contains(key) ||
          overrides.contains(dateKey)) {
        continue;
      }
      const Range* range = nullptr;
      for (const Range& r : ranges) {
        if (r.from < candidate.start) range = &r;
      }
      std::optional<Instant> occurrenceDate =
          recurs ? std::optional<Instant>(candidate.start) : std::nullopt;
      if (range != nullptr) {
        CivilTime wall = addSeconds(candidate.wall, range->shift);
        Instant shifted = static_cast<Instant>(zone.toInstant(wall));
        Instant end = endOf(zone, wall, shifted, isDate, range->length);
        if (overlaps(shifted, end, windowStart_, windowEnd_)) {
          emit(range->version->data, shifted, end, occurrenceDate);
        }
        continue;
      }
      Instant end = candidate.end.value_or(endOf(zone, candidate.wall, candidate.start, isDate, length));
      if (!overlaps(candidate.start, end, windowStart_, windowEnd_)) continue;
      emit(master.data, candidate.start, end, occurrenceDate);
    }
  }

  // The wall time of an instant, kept inside the years the arithmetic handles.
  static CivilTime clampedCivil(const TimeZone& zone, Instant instant) {
    constexpr Instant kLimit = 253402300799.0;  // 9999-12-31T23:59:59Z
    Instant clamped = std::clamp(instant, -62135596800.0, kLimit);
    return zone.toCivil(static_cast<std::int64_t>(std::floor(clamped)));
  }

  // The start of the occurrence a RECURRENCE-ID names.
  static Instant occurrenceInstant(const TimeValue& rid, bool seriesIsAllDay,
                                   const TimeZone& seriesZone) {
    if (seriesIsAllDay || rid.isDate) {
      return static_cast<Instant>(seriesZone.toInstant(dateOnly(rid.wall)));
    }
    return rid.instant();
  }

  void addToSpan(const EventVersion& master, const Length& length, Instant startInstant,
                 Instant widest) {
    const TimeValue& start = *master.start;
    bool floating = start.isFloating();
    // Lengths in days are nominal: a DST change makes a day up to a few hours longer.
    Instant slack = length.approximate() + widest + 3 * 3600;
    Instant latest = startInstant + slack;
    for (const RecurrenceRule& rule : master.rules) {
      if (rule.until) {
        Instant until;
        if (rule.until->isUtc) {
          until = static_cast<Instant>(civilSeconds(rule.until->time));
        } else {
          // A date ends an all-day series after its day, a timed one at its midnight.
          until = static_cast<Instant>(start.timeZone().toInstant(rule.until->time)) +
                  (rule.until->isDate && start.isDate ? kDaySeconds : 0);
          floating = floating || start.isFloating();
        }
        latest = std::max(latest, until + slack);
      } else if (rule.count) {
        latest = std::max(latest, lastCounted(rule, start) + slack);
      } else {
        latest = kInfinity;
      }
    }
    if (master.hasRules && master.rules.empty()) latest = std::max(latest, startInstant + slack);
    Instant earliest = startInstant - widest;
    for (const Rdate& rdate : master.rdates) {
      Instant at = rdate.start.instant();
      earliest = std::min(earliest, at);
      latest = std::max(latest, at + slack + (rdate.end ? std::max<Instant>(0, rdate.end->instant() - at) : 0) +
                                    static_cast<Instant>(rdate.seconds.value_or(0)));
      floating = floating || rdate.start.isFloating();
    }
    span_->add(earliest, latest, floating);
  }

  // The start of a counted rule's last occurrence; +infinity when finding it would cost more
  // than a span is worth.
  static Instant lastCounted(const RecurrenceRule& rule, const TimeValue& start) {
    if (*rule.count > kSpanCountLimit) return kInfinity;
    std::optional<CivilTime> last;
    int visits = 0;
    ExpansionRange range{start.wall, CivilTime{9999, 12, 31, 23, 59, 59}, untilInSeries(rule, start)};
    bool finished = expandRecurrence(rule, start.wall, range, [&](const CivilTime& wall) {
      last = wall;
      return ++visits <= kSpanCountLimit;
    });
    if (!finished || visits > kSpanCountLimit || !last) return kInfinity;
    return static_cast<Instant>(start.timeZone().toInstant(*last));
  }

  void emitOverride(const EventVersion& version, const EventVersion* master) {
    std::optional<Instant> occurrenceDate;
    bool seriesIsAllDay = master != nullptr && master->start && master->start->isDate;
    if (master != nullptr && master->start) {
      occurrenceDate =
          occurrenceInstant(*version.recurrenceId, seriesIsAllDay, master->start->timeZone());
    } else {
      occurrenceDate = version.recurrenceId->instant();
    }
    if (!version.start) {
      emit(version.data, std::nullopt, std::nullopt, occurrenceDate);
      if (span_ != nullptr) span_->add(-kInfinity, kInfinity, false);
      return;
    }
    Instant start = version.start->instant();
    Instant end = endOf(version.start->timeZone(), version.start->wall, start,
                        version.start->isDate, lengthOf(version));
    if (span_ != nullptr) span_->add(start, end, version.start->isFloating());
    if (!overlaps(start, end, windowStart_, windowEnd_)) return;
    emit(version.data, start, end, occurrenceDate);
  }

  void emit(std::shared_ptr<const VdirEventData> data, std::optional<Instant> start,
            std::optional<Instant> end, std::optional<Instant> occurrenceDate) {
    out_.push_back(std::make_shared<VdirEvent>(std::move(data), start, end, occurrenceDate));
  }

  Instant windowStart_;
  Instant windowEnd_;
  std::int64_t occurrencesLeft_ = kItemOccurrenceLimit;
  VdirEventList& out_;
  SpanBuilder* span_;
};

// ---- Identity -----------------------------------------------------------------------------

std::uint64_t fnv1a(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return hash;
}

// The part of an event's identifier that follows the item's: the UID with "%" and a leading
// "#" escaped, or "#" and a hash of the event's text for an event without UID.
std::string identityKey(const std::optional<std::string>& uid, std::string_view componentText) {
  if (!uid) {
    std::uint64_t hash = fnv1a(componentText);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string key = "#";
    for (int shift = 60; shift >= 0; shift -= 4) key.push_back(kHex[(hash >> shift) & 15]);
    return key;
  }
  std::string key;
  for (std::size_t i = 0; i < uid->size(); ++i) {
    char c = (*uid)[i];
    if (c == '%') {
      key.append("%25");
    } else if (c == '#' && i == 0) {
      key.append("%23");
    } else {
      key.push_back(c);
    }
  }
  return key;
}

// An event's UID, escapes undone; an empty one is none, so that events written with "UID:"
// are events of their own, as events without UID are.
std::optional<std::string> uidOf(std::string_view componentText) {
  std::optional<std::string> uid = firstProperty(componentText, "UID");
  if (!uid) return uid;
  if (uid->find('\\') != std::string::npos) *uid = unescapeText(*uid);  // rare in a UID
  if (uid->empty()) uid.reset();
  return uid;
}

// The zone CLDR's Windows table gives a Windows zone name ("W. Europe Standard Time") for the
// world at large; none when the name is not in it.
std::optional<std::string> zoneForWindowsName(std::string_view name) {
  if (name.empty() || name.size() > 128) return std::nullopt;
  for (char c : name) {
    if (c < ' ' || c > '~') return std::nullopt;  // the table's keys are plain ASCII
  }
  const std::string key(name);
  UErrorCode status = U_ZERO_ERROR;
  UResourceBundle* table = ures_openDirect(nullptr, "windowsZones", &status);
  table = ures_getByKey(table, "mapTimezones", table, &status);
  table = ures_getByKey(table, key.c_str(), table, &status);
  int32_t length = 0;
  const UChar* zone = ures_getStringByKey(table, "001", &length, &status);
  std::optional<std::string> out;
  if (U_SUCCESS(status) && zone != nullptr) {
    std::string text;
    for (int32_t i = 0; i < length && zone[i] != u' '; ++i) {
      if (zone[i] >= 0x80) {
        text.clear();
        break;
      }
      text.push_back(static_cast<char>(zone[i]));
    }
    if (!text.empty()) out = std::move(text);
  }
  ures_close(table);
  return out;
}

bool isZoneIdentifierShape(std::string_view id) {
  return !id.empty() && id.size() <= 64 && id.front() != '/' && id.find("..") == std::string_view::npos;
}

std::optional<std::string> systemZoneName(std::string_view id) {
  if (!isZoneIdentifierShape(id)) return std::nullopt;
  std::string name(id);
  if (systemTimeZone(name) == nullptr) return std::nullopt;
  return name;
}

}  // namespace

std::optional<std::string> ianaZoneForTzid(std::string_view tzid) {
  // TZIDs longer than any zone name with a producer's prefix are not looked up (nor kept).
  static constexpr std::size_t kLongest = 256;
  static constexpr std::size_t kEntries = 4096;
  if (tzid.size() > kLongest) return std::nullopt;
  static std::mutex mutex;
  static auto* cache = new std::unordered_map<std::string, std::optional<std::string>>();
  std::string key(tzid);
  {
    std::lock_guard lock(mutex);
    if (auto it = cache->find(key); it != cache->end()) return it->second;
  }
  std::string_view trimmed = tzid;
  while (!trimmed.empty() && trimmed.front() == ' ') trimmed.remove_prefix(1);
  while (!trimmed.empty() && trimmed.back() == ' ') trimmed.remove_suffix(1);
  std::optional<std::string> zone = systemZoneName(trimmed);
  if (!zone && trimmed.starts_with("/")) {
    // "/prefix/Region/City" forms: a zone name has at most three segments, so only the last
    // three suffixes are tried.
    std::size_t slash = trimmed.size();
    for (int segments = 0; segments < 3 && !zone; ++segments) {
      slash = trimmed.rfind('/', slash - 1);
      if (slash == std::string_view::npos || slash == 0) break;
    }
    for (std::size_t at = slash; !zone && at != std::string_view::npos && at + 1 < trimmed.size();
         at = trimmed.find('/', at + 1)) {
      zone = systemZoneName(trimmed.substr(at + 1));
    }
  }
  if (!zone) {
    // Windows zone names map to zones through ICU's copy of CLDR's table (names only; the
    // rules are the system's).
    if (std::optional<std::string> id = zoneForWindowsName(trimmed)) zone = systemZoneName(*id);
  }
  std::lock_guard lock(mutex);
  if (cache->size() >= kEntries) cache->clear();
  cache->emplace(std::move(key), zone);
  return zone;
}

bool appendIcsOccurrences(std::string_view text, const IcsItem& item, Instant start, Instant end,
                          VdirEventList& out, ItemSpan* span) {
  IcsOutline outline = outlineIcs(text);
  if (!outline.isCalendar) return false;
  FileZones zones(outline);

  // Events grouped by UID. Only a hash of each UID is kept while the file is outlined, so
  // that a file of many small events costs little beyond its text; the UIDs of a group are
  // read again when it is expanded (and a group whose hashes collide is split then).
  struct Entry {
    std::uint64_t uidHash;
    std::uint32_t component;
    bool hasUid;
  };
  std::vector<Entry> entries;
  for (std::size_t i = 0; i < outline.components.size(); ++i) {
    // An unreadable event still counts as an identity, so that the others keep theirs.
    if (outline.components[i].kind != ComponentKind::event) continue;
    std::optional<std::string> uid = uidOf(outline.components[i].text);
    entries.push_back({uid ? fnv1a(*uid) : 0, static_cast<std::uint32_t>(i), uid.has_value()});
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return std::tie(a.hasUid, a.uidHash) < std::tie(b.hasUid, b.uidHash);
  });
  std::vector<std::vector<std::uint32_t>> runs;  // per UID hash; each event without UID alone
  for (std::size_t i = 0; i < entries.size(); ++i) {
    bool continues = i > 0 && entries[i].hasUid && entries[i - 1].hasUid &&
                     entries[i].uidHash == entries[i - 1].uidHash;
    if (!continues) runs.emplace_back();
    runs.back().push_back(entries[i].component);
  }
  entries.clear();
  entries.shrink_to_fit();

  auto groupsOf = [&](const std::vector<std::uint32_t>& run) {
    std::vector<std::pair<std::optional<std::string>, std::vector<std::uint32_t>>> groups;
    for (std::uint32_t index : run) {
      std::optional<std::string> uid = uidOf(outline.components[index].text);
      auto it = std::find_if(groups.begin(), groups.end(),
                             [&](const auto& group) { return uid && group.first == uid; });
      if (it == groups.end()) {
        groups.push_back({std::move(uid), {index}});
      } else {
        it->second.push_back(index);
      }
    }
    return groups;
  };
  bool severalIdentities = runs.size() > 1 || (runs.size() == 1 && groupsOf(runs[0]).size() > 1);

  SpanBuilder spanBuilder;
  GroupExpander expander(start, end, out, span != nullptr ? &spanBuilder : nullptr);
  for (const std::vector<std::uint32_t>& run : runs) {
    for (const auto& [uid, components] : groupsOf(run)) {
      std::string identifier = item.itemIdentifier;
      if (severalIdentities) {
        identifier.push_back('/');
        identifier += identityKey(uid, outline.components[components[0]].text);
      }
      std::vector<EventVersion> versions;
      for (std::uint32_t index : components) {
        if (!outline.components[index].readable) continue;
        if (auto version =
                readVersion(outline.components[index].text, index, item, identifier, zones)) {
          versions.push_back(std::move(*version));
        }
      }
      expander.expand(versions);
    }
  }
  if (span != nullptr) *span = ItemSpan{spanBuilder.earliest, spanBuilder.latest};
  return true;
}

bool occursBefore(const VdirEvent& a, const VdirEvent& b) {
  std::optional<Instant> aStart = a.startDate(), bStart = b.startDate();
  if (aStart != bStart) return aStart < bStart;
  std::optional<Instant> aEnd = a.endDate(), bEnd = b.endDate();
  if (aEnd != bEnd) return aEnd < bEnd;
  if (int order = a.itemIdentifier().compare(b.itemIdentifier()); order != 0) return order < 0;
  return a.occurrenceDate() < b.occurrenceDate();
}

}  // namespace vandrelis::store

