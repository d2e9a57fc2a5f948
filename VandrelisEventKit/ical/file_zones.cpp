// A file's own zone definitions (VTIMEZONE observances), shared between files that repeat them,
// and the look-up of a TZID among them and in the system's database.
#include "ical/file_zones.h"

#include <mutex>

#include "ical/ics_values.h"
#include "ical/recurrence_rule.h"
#include "ical/zone_names.h"

namespace vandrelis::store::ics {
namespace {

constexpr std::size_t kZoneDefinitionLimit = 256 * 1024;

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

}  // namespace

FileZones::FileZones(const IcsOutline& outline)
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

ZonePtr FileZones::zone(const std::string& tzid) {
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

}  // namespace vandrelis::store::ics
