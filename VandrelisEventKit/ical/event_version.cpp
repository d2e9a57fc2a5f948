// Reading one VEVENT into a version of its event, and choosing among copies.
#include "ical/event_version.h"

#include "ical/zone_names.h"

namespace vandrelis::store::ics {
namespace {

std::optional<std::string> textOf(const ComponentLines& lines, std::string_view name) {
  for (const ContentLine& line : lines.properties) {
    if (equalsIgnoringCase(line.name, name)) return unescapeText(line.value);
  }
  return std::nullopt;
}

}  // namespace

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

}  // namespace vandrelis::store::ics
