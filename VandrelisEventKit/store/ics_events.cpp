// Expansion works in the wall time of each series' DTSTART zone (so a weekly 10:00 meeting
// stays at 10:00 across a DST change) and compares occurrences as instants.
#include "store/ics_events.h"

#include <libical/ical.h>
#include <strings.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <unordered_map>

#include <unicode/timezone.h>
#include <unicode/unistr.h>

namespace vandrelis::store {
namespace {

constexpr Instant kDay = 86400;

struct ExpansionOptions {
  bool skipAhead = true;
};
// A guard against rules that keep generating without ever reaching the window (a COUNT of
// millions, say): past this many steps a series gives no further occurrences.
constexpr int kIterationLimit = 1'000'000;

struct ComponentDeleter {
  void operator()(icalcomponent* component) const { icalcomponent_free(component); }
};
using ComponentPtr = std::unique_ptr<icalcomponent, ComponentDeleter>;

struct IteratorDeleter {
  void operator()(icalrecur_iterator* iterator) const { icalrecur_iterator_free(iterator); }
};
using IteratorPtr = std::unique_ptr<icalrecur_iterator, IteratorDeleter>;

// ---- Time ---------------------------------------------------------------------------------

// Wall time in the process's default zone to an instant; mktime settles DST gaps and folds.
Instant localInstant(const icaltimetype& t) {
  struct tm fields {};
  fields.tm_year = t.year - 1900;
  fields.tm_mon = t.month - 1;
  fields.tm_mday = t.day;
  if (!t.is_date) {
    fields.tm_hour = t.hour;
    fields.tm_min = t.minute;
    fields.tm_sec = t.second;
  }
  fields.tm_isdst = -1;
  return static_cast<Instant>(::mktime(&fields));
}

icaltimetype localWallTime(Instant instant, bool isDate) {
  time_t seconds = static_cast<time_t>(std::floor(instant));
  struct tm fields {};
  ::localtime_r(&seconds, &fields);
  icaltimetype t = icaltime_null_time();
  t.year = fields.tm_year + 1900;
  t.month = fields.tm_mon + 1;
  t.day = fields.tm_mday;
  if (isDate) {
    t.is_date = 1;
  } else {
    t.hour = fields.tm_hour;
    t.minute = fields.tm_min;
    t.second = fields.tm_sec;
  }
  return t;
}

// A resolved time: zone is the UTC zone for UTC values, the TZID's zone for zoned values and
// null for floating values and dates, which are read in the process's default zone.
Instant toInstant(const icaltimetype& t) {
  if (t.is_date || t.zone == nullptr) return localInstant(t);
  return static_cast<Instant>(icaltime_as_timet_with_zone(t, t.zone));
}

// The wall time of an instant in the zone of `like`.
icaltimetype wallTimeLike(const icaltimetype& like, Instant instant) {
  if (like.is_date || like.zone == nullptr) return localWallTime(instant, like.is_date != 0);
  return icaltime_from_timet_with_zone(static_cast<time_t>(std::floor(instant)), 0, like.zone);
}

int dateKey(const icaltimetype& t) { return t.year * 10000 + t.month * 100 + t.day; }

std::optional<std::string> validIanaZone(const std::string& id) {
  if (id.empty()) return std::nullopt;
  icu::UnicodeString canonical;
  UBool isSystemId = false;
  UErrorCode status = U_ZERO_ERROR;
  icu::TimeZone::getCanonicalID(icu::UnicodeString::fromUTF8(id), canonical, isSystemId, status);
  if (U_FAILURE(status) || !isSystemId) return std::nullopt;
  return id;
}

std::string canonicalZone(const std::string& id) {
  icu::UnicodeString canonical;
  UBool isSystemId = false;
  UErrorCode status = U_ZERO_ERROR;
  icu::TimeZone::getCanonicalID(icu::UnicodeString::fromUTF8(id), canonical, isSystemId, status);
  std::string out;
  if (U_SUCCESS(status)) canonical.toUTF8String(out);
  return out;
}

bool isUtcZoneName(const std::string& id) {
  static const std::set<std::string> kNames = {"UTC", "Etc/UTC", "Etc/GMT", "GMT", "Etc/UCT",
                                               "Etc/Universal", "Etc/Zulu", "Etc/Greenwich"};
  return kNames.contains(id);
}

// The zone of a TZID from the system's database, memoised: lookups by name are linear in
// libical, and a corpus names the same few zones thousands of times.
icaltimezone* systemZone(const std::string& tzid) {
  static std::mutex mutex;
  static auto* cache = new std::unordered_map<std::string, icaltimezone*>();
  std::lock_guard lock(mutex);
  if (auto it = cache->find(tzid); it != cache->end()) return it->second;
  icaltimezone* zone = icaltimezone_get_builtin_timezone_from_tzid(tzid.c_str());
  if (zone == nullptr) zone = icaltimezone_get_builtin_timezone(tzid.c_str());
  if (zone == nullptr) {
    if (std::optional<std::string> iana = ianaZoneForTzid(tzid)) {
      std::string canonical = canonicalZone(*iana);
      if (isUtcZoneName(canonical)) {
        zone = icaltimezone_get_utc_timezone();
      } else {
        zone = icaltimezone_get_builtin_timezone(iana->c_str());
        if (zone == nullptr) zone = icaltimezone_get_builtin_timezone(canonical.c_str());
      }
    }
  }
  cache->emplace(tzid, zone);
  return zone;
}

// The zone a VTIMEZONE defines, shared by every file that carries the same definition:
// servers repeat one VTIMEZONE in each item, and libical expands a zone's transitions (from
// its first DTSTART on) once per zone object, which would otherwise dominate a query.
// The key is the definition's text as the file has it when known (cheap), else libical's
// serialisation of it; the two kinds of key are kept apart by a prefix.
icaltimezone* sharedFileZone(icalcomponent* vtimezone, std::string_view rawText) {
  // Kept for the process's life (never destroyed, so no thread can outlive it).
  static std::mutex mutex;
  static auto* cache = new std::unordered_map<std::string, icaltimezone*>();
  std::string definition;
  if (!rawText.empty()) {
    definition.reserve(rawText.size() + 1);
    definition.append("r").append(rawText);
  } else {
    definition.append("s").append(icalcomponent_as_ical_string(vtimezone));
  }
  std::lock_guard lock(mutex);
  auto [it, added] = cache->emplace(std::move(definition), nullptr);
  if (added) {
    icaltimezone* zone = icaltimezone_new();
    icalcomponent* copy = icalcomponent_new_clone(vtimezone);
    if (zone != nullptr && copy != nullptr && icaltimezone_set_component(zone, copy)) {
      it->second = zone;
    } else {
      if (copy != nullptr) icalcomponent_free(copy);
      if (zone != nullptr) icaltimezone_free(zone, 1);
    }
  }
  return it->second;
}

// TZIDs are looked up in the file's own VTIMEZONEs first, then in the system's database.
class ZoneResolver {
 public:
  // rawTexts: the file's own text of each VTIMEZONE component, where known.
  ZoneResolver(icalcomponent* vcalendar,
               const std::unordered_map<icalcomponent*, std::string_view>* rawTexts)
      : vcalendar_(vcalendar), rawTexts_(rawTexts) {}

  icaltimezone* zone(const char* tzid) {
    if (tzid == nullptr) return nullptr;
    if (auto it = resolved_.find(tzid); it != resolved_.end()) return it->second;
    icaltimezone* found = fileZone(tzid);
    if (found == nullptr) found = systemZone(tzid);
    resolved_.emplace(tzid, found);
    return found;
  }

  // Resolves a value of prop; a TZID that names no zone leaves the value floating.
  icaltimetype resolve(icalproperty* prop, icaltimetype raw) {
    if (icaltime_is_null_time(raw)) return raw;
    if (raw.is_date) {
      raw.zone = nullptr;
      return raw;
    }
    if (icaltime_is_utc(raw)) return raw;
    raw.zone = nullptr;
    if (icalparameter* tzid = icalproperty_get_first_parameter(prop, ICAL_TZID_PARAMETER)) {
      raw.zone = zone(icalparameter_get_tzid(tzid));
    }
    return raw;
  }

 private:
  icaltimezone* fileZone(const char* tzid) {
    if (vcalendar_ == nullptr) return nullptr;
    for (icalcomponent* vtimezone =
             icalcomponent_get_first_component(vcalendar_, ICAL_VTIMEZONE_COMPONENT);
         vtimezone != nullptr;
         vtimezone = icalcomponent_get_next_component(vcalendar_, ICAL_VTIMEZONE_COMPONENT)) {
      icalproperty* id = icalcomponent_get_first_property(vtimezone, ICAL_TZID_PROPERTY);
      const char* text = id != nullptr ? icalproperty_get_tzid(id) : nullptr;
      if (text != nullptr && std::strcmp(text, tzid) == 0) {
        std::string_view raw;
        if (rawTexts_ != nullptr) {
          if (auto it = rawTexts_->find(vtimezone); it != rawTexts_->end()) raw = it->second;
        }
        return sharedFileZone(vtimezone, raw);
      }
    }
    return nullptr;
  }

  icalcomponent* vcalendar_;
  const std::unordered_map<icalcomponent*, std::string_view>* rawTexts_;
  std::unordered_map<std::string, icaltimezone*> resolved_;
};

// How long each occurrence lasts: whole days in wall time, then exact seconds.
struct Length {
  int days = 0;
  Instant seconds = 0;
  Instant approximateSeconds() const { return days * kDay + seconds; }
};

Instant endOf(const icaltimetype& start, Instant startInstant, const Length& length) {
  if (length.days == 0 && !start.is_date) return startInstant + length.seconds;
  icaltimetype end = start;
  icaltime_adjust(&end, length.days, 0, 0, 0);
  // An all-day event ends one second before midnight after its last day.
  return start.is_date ? toInstant(end) - 1 : toInstant(end) + length.seconds;
}

Length lengthOf(icalcomponent* vevent, const icaltimetype& start, ZoneResolver& zones) {
  Length length;
  if (icalproperty* dtend = icalcomponent_get_first_property(vevent, ICAL_DTEND_PROPERTY)) {
    icaltimetype end = zones.resolve(dtend, icalproperty_get_dtend(dtend));
    if (!icaltime_is_null_time(end)) {
      if (start.is_date) {
        Instant days = std::ceil(
            static_cast<Instant>(icaltime_as_timet(end) - icaltime_as_timet(start)) / kDay);
        length.days = days >= 1 ? static_cast<int>(std::min(days, 1e6)) : 1;
      } else {
        length.seconds = std::max<Instant>(0, toInstant(end) - toInstant(start));
      }
      return length;
    }
  }
  if (icalproperty* prop = icalcomponent_get_first_property(vevent, ICAL_DURATION_PROPERTY)) {
    icaldurationtype duration = icalproperty_get_duration(prop);
    if (!duration.is_neg) {
      length.days = static_cast<int>(std::min(duration.days + 7u * duration.weeks, 1'000'000u));
      length.seconds = duration.hours * 3600.0 + duration.minutes * 60.0 + duration.seconds;
    }
    if (start.is_date) {
      length.days += static_cast<int>(std::ceil(length.seconds / kDay));
      length.seconds = 0;
      if (length.days < 1) length.days = 1;
    }
    return length;
  }
  if (start.is_date) length.days = 1;
  return length;
}

bool overlaps(Instant start, Instant end, Instant windowStart, Instant windowEnd) {
  if (end <= start) return start >= windowStart && start < windowEnd;
  return start < windowEnd && end > windowStart;
}

// ---- Properties ---------------------------------------------------------------------------

// libical drops a property whose value is empty and leaves an X-LIC-ERROR in its place; an
// empty value is still a value here, so the error's text tells which properties were empty.
bool hadEmptyValue(icalcomponent* vevent, std::string_view name) {
  std::string expected = "No value for " + std::string(name) + " property";
  for (icalproperty* p = icalcomponent_get_first_property(vevent, ICAL_XLICERROR_PROPERTY);
       p != nullptr; p = icalcomponent_get_next_property(vevent, ICAL_XLICERROR_PROPERTY)) {
    const char* text = icalproperty_get_xlicerror(p);
    if (text != nullptr && std::string_view(text).starts_with(expected)) return true;
  }
  return false;
}

std::optional<std::string> textProperty(icalcomponent* vevent, icalproperty_kind kind,
                                        std::string_view name,
                                        const char* (*get)(const icalproperty*)) {
  if (icalproperty* prop = icalcomponent_get_first_property(vevent, kind)) {
    if (const char* value = get(prop)) return std::string(value);
    return std::string();
  }
  if (hadEmptyValue(vevent, name)) return std::string();
  return std::nullopt;
}

std::int64_t participantStatus(icalproperty* prop) {
  icalparameter* param = icalproperty_get_first_parameter(prop, ICAL_PARTSTAT_PARAMETER);
  if (param == nullptr) return 0;
  switch (icalparameter_get_partstat(param)) {
    case ICAL_PARTSTAT_NEEDSACTION: return 1;
    case ICAL_PARTSTAT_ACCEPTED: return 2;
    case ICAL_PARTSTAT_DECLINED: return 3;
    case ICAL_PARTSTAT_TENTATIVE: return 4;
    case ICAL_PARTSTAT_DELEGATED: return 5;
    case ICAL_PARTSTAT_COMPLETED: return 6;
    case ICAL_PARTSTAT_INPROCESS: return 7;
    case ICAL_PARTSTAT_X: {
      // libical 3.0 does not know RFC 5545's spelling "IN-PROCESS" and keeps it as an
      // extension value.
      const char* value = icalparameter_get_xvalue(param);
      return value != nullptr && strcasecmp(value, "IN-PROCESS") == 0 ? 7 : 0;
    }
    default: return 0;
  }
}

std::shared_ptr<const Participant> participant(icalproperty* prop, const char* value,
                                               const IcsItem& item) {
  std::optional<std::string> name;
  if (icalparameter* cn = icalproperty_get_first_parameter(prop, ICAL_CN_PARAMETER)) {
    if (const char* text = icalparameter_get_cn(cn)) name = text;
  }
  std::string url = value != nullptr ? value : "";
  std::string scheme = url.substr(0, 7);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  bool isMailto = scheme == "mailto:";
  bool isCurrentUser =
      isMailto && item.isOwnAddress && item.isOwnAddress(std::string_view(url).substr(7));
  return std::make_shared<VdirParticipant>(std::move(name), std::move(url), isCurrentUser,
                                           participantStatus(prop));
}

std::int64_t eventStatus(icalcomponent* vevent) {
  if (icalcomponent_get_first_property(vevent, ICAL_STATUS_PROPERTY) == nullptr) return 0;
  switch (icalcomponent_get_status(vevent)) {
    case ICAL_STATUS_CONFIRMED: return 1;
    case ICAL_STATUS_TENTATIVE: return 2;
    case ICAL_STATUS_CANCELLED: return 3;
    default: return 0;
  }
}

std::optional<std::string> eventTimeZone(icalproperty* dtstart, const icaltimetype& start) {
  if (dtstart == nullptr || start.is_date || start.zone == nullptr || icaltime_is_utc(start)) {
    return std::nullopt;
  }
  icalparameter* tzid = icalproperty_get_first_parameter(dtstart, ICAL_TZID_PARAMETER);
  if (tzid == nullptr || icalparameter_get_tzid(tzid) == nullptr) return std::nullopt;
  return ianaZoneForTzid(icalparameter_get_tzid(tzid));
}

std::shared_ptr<const VdirEventData> eventData(icalcomponent* vevent, ZoneResolver& zones,
                                               const IcsItem& item,
                                               bool hasRecurrenceRules) {
  auto data = std::make_shared<VdirEventData>();
  data->calendar = item.calendar;
  data->itemIdentifier = item.itemIdentifier;
  if (const char* uid = icalcomponent_get_uid(vevent)) data->uid = uid;
  data->title = textProperty(vevent, ICAL_SUMMARY_PROPERTY, "SUMMARY", icalproperty_get_summary);
  data->notes =
      textProperty(vevent, ICAL_DESCRIPTION_PROPERTY, "DESCRIPTION", icalproperty_get_description);
  data->location =
      textProperty(vevent, ICAL_LOCATION_PROPERTY, "LOCATION", icalproperty_get_location);
  data->url = textProperty(vevent, ICAL_URL_PROPERTY, "URL", icalproperty_get_url);
  data->status = eventStatus(vevent);
  if (icalproperty* prop = icalcomponent_get_first_property(vevent, ICAL_ORGANIZER_PROPERTY)) {
    data->organizer = participant(prop, icalproperty_get_organizer(prop), item);
  }
  for (icalproperty* prop = icalcomponent_get_first_property(vevent, ICAL_ATTENDEE_PROPERTY);
       prop != nullptr; prop = icalcomponent_get_next_property(vevent, ICAL_ATTENDEE_PROPERTY)) {
    if (!data->attendees) data->attendees.emplace();
    data->attendees->push_back(participant(prop, icalproperty_get_attendee(prop), item));
  }
  if (icalproperty* prop = icalcomponent_get_first_property(vevent, ICAL_LASTMODIFIED_PROPERTY)) {
    icaltimetype modified = zones.resolve(prop, icalproperty_get_lastmodified(prop));
    if (!icaltime_is_null_time(modified)) data->lastModified = toInstant(modified);
  }
  icalproperty* dtstart = icalcomponent_get_first_property(vevent, ICAL_DTSTART_PROPERTY);
  icaltimetype start =
      dtstart != nullptr ? zones.resolve(dtstart, icalproperty_get_dtstart(dtstart))
                         : icaltime_null_time();
  data->isAllDay = !icaltime_is_null_time(start) && start.is_date;
  data->hasRecurrenceRules = hasRecurrenceRules;
  data->timeZone = eventTimeZone(dtstart, start);
  return data;
}

// ---- Expansion ----------------------------------------------------------------------------

struct Part {
  icalcomponent* vevent;
  ZoneResolver* zones;
};

struct Group {
  std::vector<Part> masters;
  std::vector<Part> overrides;
};

// Original starts that a series leaves out: exact instants, and whole days for DATE values.
struct StartSet {
  std::set<std::int64_t> instants;
  std::set<int> dates;

  void add(const icaltimetype& t) {
    if (icaltime_is_null_time(t)) return;
    if (t.is_date) {
      dates.insert(dateKey(t));
    } else {
      instants.insert(static_cast<std::int64_t>(toInstant(t)));
    }
  }
  bool contains(const icaltimetype& t, Instant instant) const {
    return instants.contains(static_cast<std::int64_t>(instant)) || dates.contains(dateKey(t));
  }
};

struct Candidate {
  icaltimetype start;
  Instant startInstant;
  std::optional<Instant> end;  // an RDATE period's own end
};

bool hasRecurrence(icalcomponent* vevent) {
  return icalcomponent_get_first_property(vevent, ICAL_RRULE_PROPERTY) != nullptr ||
         icalcomponent_get_first_property(vevent, ICAL_RDATE_PROPERTY) != nullptr;
}

// Wall times compared field by field (icaltime_compare converts both to UTC, which costs).
std::int64_t wallKey(const icaltimetype& t) {
  return ((((t.year * 13LL + t.month) * 32 + t.day) * 24 + t.hour) * 60 + t.minute) * 60 + t.second;
}

bool sameWallTime(const icaltimetype& a, const icaltimetype& b) { return wallKey(a) == wallKey(b); }

bool hasByParts(const icalrecurrencetype& rule) {
  return rule.by_second[0] != ICAL_RECURRENCE_ARRAY_MAX ||
         rule.by_minute[0] != ICAL_RECURRENCE_ARRAY_MAX ||
         rule.by_hour[0] != ICAL_RECURRENCE_ARRAY_MAX ||
         rule.by_day[0] != ICAL_RECURRENCE_ARRAY_MAX ||
         rule.by_month_day[0] != ICAL_RECURRENCE_ARRAY_MAX ||
         rule.by_year_day[0] != ICAL_RECURRENCE_ARRAY_MAX ||
         rule.by_week_no[0] != ICAL_RECURRENCE_ARRAY_MAX ||
         rule.by_month[0] != ICAL_RECURRENCE_ARRAY_MAX ||
         rule.by_set_pos[0] != ICAL_RECURRENCE_ARRAY_MAX;
}

// A wall time as seconds on a clock without zone changes, and back.
std::int64_t wallKeySeconds(const icaltimetype& t) {
  icaltimetype plain = t;
  plain.zone = nullptr;
  plain.is_date = 0;
  return static_cast<std::int64_t>(icaltime_as_timet(plain));
}

icaltimetype addSeconds(icaltimetype t, std::int64_t seconds) {
  // icaltime_adjust takes int seconds; whole days go separately to stay in range.
  icaltime_adjust(&t, static_cast<int>(seconds / 86400), 0, 0, static_cast<int>(seconds % 86400));
  return t;
}

// The starts one RRULE gives between lower and upper (by instant), DTSTART excepted.
void ruleOccurrences(icalrecurrencetype rule, const icaltimetype& dtstart, Instant lower,
                     Instant upper, const ExpansionOptions& options,
                     std::vector<Candidate>& out) {
  if (rule.freq == ICAL_NO_RECURRENCE) return;
  bool counted = rule.count > 0;
  // libical skips ahead correctly for daily and coarser rules only.
  bool skip = options.skipAhead && !counted && rule.freq >= ICAL_DAILY_RECURRENCE;
  icaltimetype first = dtstart;
  if (options.skipAhead && !counted && rule.freq < ICAL_DAILY_RECURRENCE &&
      !dtstart.is_date && (dtstart.zone == nullptr || icaltime_is_utc(dtstart)) &&
      !hasByParts(rule)) {
    // A plain sub-daily rule on a clock without DST steps evenly, so DTSTART can move ahead
    // by whole steps (the real DTSTART is counted by the caller). Other sub-daily rules
    // (rare in calendars) are walked from DTSTART, bounded by kIterationLimit.
    static constexpr std::int64_t kUnit[] = {1, 60, 3600};
    std::int64_t step = kUnit[rule.freq] * std::max<std::int64_t>(rule.interval, 1);
    std::int64_t gap = (wallKeySeconds(wallTimeLike(dtstart, lower - kDay)) -
                        wallKeySeconds(dtstart));
    if (gap > step) first = addSeconds(dtstart, gap / step * step);
  }
  IteratorPtr iterator(icalrecur_iterator_new(rule, first));
  if (!iterator) return;
  // Wall times a day short of the bounds: occurrences before this are passed over without
  // the cost of a zone conversion.
  icaltimetype early = wallTimeLike(dtstart, lower - kDay);
  early.zone = dtstart.zone;
  std::int64_t earlyKey = wallKey(early);
  if (skip && earlyKey > wallKey(dtstart)) {
    icalrecur_iterator_set_start(iterator.get(), early);
  }
  // DTSTART is the series' first occurrence even when the rule does not match it, and then
  // it is one of the COUNT.
  int remaining = counted ? rule.count : -1;
  bool firstSeen = false;
  for (int steps = 0; steps < kIterationLimit; ++steps) {
    icaltimetype t = icalrecur_iterator_next(iterator.get());
    if (icaltime_is_null_time(t)) break;
    bool isDtstart = sameWallTime(t, dtstart);
    if (counted) {
      if (!firstSeen && !isDtstart) --remaining;
      firstSeen = true;
      if (remaining-- <= 0) break;
    }
    if (isDtstart) continue;
    t.zone = dtstart.zone;
    if (wallKey(t) < earlyKey) continue;
    Instant instant = toInstant(t);
    if (instant >= upper) break;
    if (instant >= lower) out.push_back({t, instant, std::nullopt});
  }
}

class Expander {
 public:
  Expander(const IcsItem& item, Instant windowStart, Instant windowEnd,
           const ExpansionOptions& options, VdirEventList& out)
      : item_(item), windowStart_(windowStart), windowEnd_(windowEnd), options_(options),
        out_(out) {}

  void expand(const Group& group) {
    StartSet overridden;
    bool seriesRecurs = false;
    for (const Part& master : group.masters) seriesRecurs |= hasRecurrence(master.vevent);
    for (const Part& part : group.overrides) {
      icalproperty* rid = icalcomponent_get_first_property(part.vevent, ICAL_RECURRENCEID_PROPERTY);
      overridden.add(part.zones->resolve(rid, icalproperty_get_recurrenceid(rid)));
    }
    for (const Part& master : group.masters) expandMaster(master, overridden);
    for (const Part& part : group.overrides) emitOverride(part, seriesRecurs);
  }

 private:
  void expandMaster(const Part& master, const StartSet& overridden) {
    ZoneResolver& zones = *master.zones;
    bool recurs = hasRecurrence(master.vevent);
    icalproperty* dtstartProp = icalcomponent_get_first_property(master.vevent, ICAL_DTSTART_PROPERTY);
    icaltimetype dtstart = dtstartProp != nullptr
                               ? zones.resolve(dtstartProp, icalproperty_get_dtstart(dtstartProp))
                               : icaltime_null_time();
    if (icaltime_is_null_time(dtstart)) {
      // No start: handed on as it is, for the conversion to leave out.
      emit(eventData(master.vevent, zones, item_, recurs), std::nullopt, std::nullopt,
           std::nullopt);
      return;
    }
    Length length = lengthOf(master.vevent, dtstart, zones);
    // Bounds by start instant, widened by the series' length and a zone's offset.
    Instant lower = windowStart_ - length.approximateSeconds() - 2 * kDay;
    Instant upper = windowEnd_ + kDay;

    std::vector<Candidate> candidates;
    candidates.push_back({dtstart, toInstant(dtstart), std::nullopt});
    StartSet excluded;
    if (recurs) {
      for (icalproperty* p = icalcomponent_get_first_property(master.vevent, ICAL_RRULE_PROPERTY);
           p != nullptr; p = icalcomponent_get_next_property(master.vevent, ICAL_RRULE_PROPERTY)) {
        ruleOccurrences(icalproperty_get_rrule(p), dtstart, lower, upper, options_, candidates);
      }
      for (icalproperty* p = icalcomponent_get_first_property(master.vevent, ICAL_RDATE_PROPERTY);
           p != nullptr; p = icalcomponent_get_next_property(master.vevent, ICAL_RDATE_PROPERTY)) {
        addRdate(p, zones, candidates);
      }
      for (icalproperty* p = icalcomponent_get_first_property(master.vevent, ICAL_EXDATE_PROPERTY);
           p != nullptr; p = icalcomponent_get_next_property(master.vevent, ICAL_EXDATE_PROPERTY)) {
        excluded.add(zones.resolve(p, icalproperty_get_exdate(p)));
      }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) {
                       return a.startInstant < b.startInstant;
                     });
    std::shared_ptr<const VdirEventData> data;  // built once, for the first occurrence kept
    std::optional<Instant> previous;
    for (const Candidate& candidate : candidates) {
      if (previous && *previous == candidate.startInstant) continue;  // RDATE on a rule date
      previous = candidate.startInstant;
      if (excluded.contains(candidate.start, candidate.startInstant) ||
          overridden.contains(candidate.start, candidate.startInstant)) {
        continue;
      }
      Instant end = candidate.end.value_or(endOf(candidate.start, candidate.startInstant, length));
      if (!overlaps(candidate.startInstant, end, windowStart_, windowEnd_)) continue;
      if (!data) data = eventData(master.vevent, zones, item_, recurs);
      emit(data, candidate.startInstant, end,
           recurs ? std::optional<Instant>(candidate.startInstant) : std::nullopt);
    }
  }

  void addRdate(icalproperty* prop, ZoneResolver& zones, std::vector<Candidate>& candidates) {
    icaldatetimeperiodtype value = icalproperty_get_rdate(prop);
    if (!icaltime_is_null_time(value.period.start)) {
      icaltimetype start = zones.resolve(prop, value.period.start);
      Instant startInstant = toInstant(start);
      Instant end = startInstant;
      if (!icaltime_is_null_time(value.period.end)) {
        end = std::max(startInstant, toInstant(zones.resolve(prop, value.period.end)));
      } else if (!value.period.duration.is_neg) {
        end = startInstant + icaldurationtype_as_int(value.period.duration);
      }
      candidates.push_back({start, startInstant, end});
    } else if (!icaltime_is_null_time(value.time)) {
      icaltimetype start = zones.resolve(prop, value.time);
      candidates.push_back({start, toInstant(start), std::nullopt});
    }
  }

  void emitOverride(const Part& part, bool seriesRecurs) {
    ZoneResolver& zones = *part.zones;
    icalproperty* rid = icalcomponent_get_first_property(part.vevent, ICAL_RECURRENCEID_PROPERTY);
    icaltimetype original = zones.resolve(rid, icalproperty_get_recurrenceid(rid));
    std::optional<Instant> occurrenceDate;
    if (!icaltime_is_null_time(original)) occurrenceDate = toInstant(original);
    icalproperty* dtstartProp = icalcomponent_get_first_property(part.vevent, ICAL_DTSTART_PROPERTY);
    icaltimetype start = dtstartProp != nullptr
                             ? zones.resolve(dtstartProp, icalproperty_get_dtstart(dtstartProp))
                             : icaltime_null_time();
    if (icaltime_is_null_time(start)) {
      emit(eventData(part.vevent, zones, item_, seriesRecurs), std::nullopt, std::nullopt,
           occurrenceDate);
      return;
    }
    Instant startInstant = toInstant(start);
    Instant end = endOf(start, startInstant, lengthOf(part.vevent, start, zones));
    if (!overlaps(startInstant, end, windowStart_, windowEnd_)) return;
    emit(eventData(part.vevent, zones, item_, seriesRecurs), startInstant, end, occurrenceDate);
  }

  void emit(std::shared_ptr<const VdirEventData> data, std::optional<Instant> start,
            std::optional<Instant> end, std::optional<Instant> occurrenceDate) {
    out_.push_back(std::make_shared<VdirEvent>(std::move(data), start, end, occurrenceDate));
  }

  const IcsItem& item_;
  Instant windowStart_;
  Instant windowEnd_;
  const ExpansionOptions& options_;
  VdirEventList& out_;
};

void collectEvents(icalcomponent* vcalendar, ZoneResolver* zones, std::vector<Group>& groups,
                   std::unordered_map<std::string, std::size_t>& byUid) {
  for (icalcomponent* vevent = icalcomponent_get_first_component(vcalendar, ICAL_VEVENT_COMPONENT);
       vevent != nullptr;
       vevent = icalcomponent_get_next_component(vcalendar, ICAL_VEVENT_COMPONENT)) {
    std::size_t index = groups.size();
    if (const char* uid = icalcomponent_get_uid(vevent)) {
      auto [it, added] = byUid.emplace(uid, groups.size());
      index = it->second;
      if (added) groups.emplace_back();
    } else {
      groups.emplace_back();
    }
    bool isOverride =
        icalcomponent_get_first_property(vevent, ICAL_RECURRENCEID_PROPERTY) != nullptr;
    (isOverride ? groups[index].overrides : groups[index].masters).push_back({vevent, zones});
  }
}

// Pairs each VTIMEZONE component with its text in the file, when the file's
// "BEGIN:VTIMEZONE" lines and the parsed components agree in number (both are in file order);
// otherwise pairs none.
std::unordered_map<icalcomponent*, std::string_view> vtimezoneTexts(
    const std::string& text, const std::vector<icalcomponent*>& vcalendars) {
  std::unordered_map<icalcomponent*, std::string_view> pairs;
  std::vector<icalcomponent*> components;
  for (icalcomponent* vcalendar : vcalendars) {
    for (icalcomponent* c = icalcomponent_get_first_component(vcalendar, ICAL_VTIMEZONE_COMPONENT);
         c != nullptr; c = icalcomponent_get_next_component(vcalendar, ICAL_VTIMEZONE_COMPONENT)) {
      components.push_back(c);
    }
  }
  if (components.empty()) return pairs;
  static constexpr std::string_view kBegin = "BEGIN:VTIMEZONE", kEnd = "END:VTIMEZONE";
  std::vector<std::string_view> texts;
  std::string_view all = text;
  for (std::size_t at = all.find(kBegin); at != std::string_view::npos;
       at = all.find(kBegin, at + kBegin.size())) {
    if (at > 0 && all[at - 1] != '\n') continue;
    std::size_t end = all.find(kEnd, at);
    if (end == std::string_view::npos) return pairs;
    texts.push_back(all.substr(at, end - at));
  }
  if (texts.size() != components.size()) return pairs;
  for (std::size_t i = 0; i < texts.size(); ++i) pairs.emplace(components[i], texts[i]);
  return pairs;
}

}  // namespace

std::optional<std::string> ianaZoneForTzid(std::string_view tzid) {
  static std::mutex mutex;
  static std::unordered_map<std::string, std::optional<std::string>> cache;
  std::string key(tzid);
  std::lock_guard lock(mutex);
  if (auto it = cache.find(key); it != cache.end()) return it->second;
  std::optional<std::string> zone = validIanaZone(key);
  if (!zone && key.starts_with("/")) {
    // libical's and other producers' "/prefix/Region/City" forms.
    for (std::size_t slash = key.find('/', 1); !zone && slash != std::string::npos;
         slash = key.find('/', slash + 1)) {
      zone = validIanaZone(key.substr(slash + 1));
    }
  }
  if (!zone) {
    icu::UnicodeString id;
    UErrorCode status = U_ZERO_ERROR;
    icu::TimeZone::getIDForWindowsID(icu::UnicodeString::fromUTF8(key), nullptr, id, status);
    if (U_SUCCESS(status) && !id.isBogus() && id.length() > 0) {
      std::string text;
      id.toUTF8String(text);
      zone = std::move(text);
    }
  }
  cache.emplace(std::move(key), zone);
  return zone;
}

bool appendIcsOccurrences(std::string_view view, const IcsItem& item, Instant start, Instant end,
                          VdirEventList& out, ItemSpan* span) {
  ExpansionOptions options;
  std::string text(view);
  // A malformed item is the user's data, never a reason to abort the process.
  static const bool nonFatal = [] {
    icalerror_set_errors_are_fatal(0);
    return true;
  }();
  (void)nonFatal;
  ComponentPtr root(icalparser_parse_string(text.c_str()));
  if (!root) return false;
  std::vector<std::unique_ptr<ZoneResolver>> resolvers;
  std::vector<Group> groups;
  std::unordered_map<std::string, std::size_t> byUid;
  std::vector<icalcomponent*> vcalendars;
  switch (icalcomponent_isa(root.get())) {
    case ICAL_VCALENDAR_COMPONENT:
      vcalendars.push_back(root.get());
      break;
    case ICAL_XROOT_COMPONENT:  // several VCALENDARs in one file
      for (icalcomponent* vcalendar =
               icalcomponent_get_first_component(root.get(), ICAL_VCALENDAR_COMPONENT);
           vcalendar != nullptr;
           vcalendar = icalcomponent_get_next_component(root.get(), ICAL_VCALENDAR_COMPONENT)) {
        vcalendars.push_back(vcalendar);
      }
      break;
    default:
      return false;
  }
  std::unordered_map<icalcomponent*, std::string_view> rawTexts = vtimezoneTexts(text, vcalendars);
  for (icalcomponent* vcalendar : vcalendars) {
    resolvers.push_back(std::make_unique<ZoneResolver>(vcalendar, &rawTexts));
    collectEvents(vcalendar, resolvers.back().get(), groups, byUid);
  }
  if (span != nullptr) {
    // Not computed yet: the whole line, which is never too narrow.
    span->earliest = -std::numeric_limits<Instant>::infinity();
    span->latest = std::numeric_limits<Instant>::infinity();
  }
  Expander expander(item, start, end, options, out);
  for (const Group& group : groups) expander.expand(group);
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
