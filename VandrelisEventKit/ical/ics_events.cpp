// A file is outlined by the reader, then expanded one event (one UID) at a time: its versions
// and overrides (THISANDFUTURE included) within the bound on what one item may yield. Series are
// expanded in the wall time of their DTSTART's zone and converted afterwards, so a weekly 10:00
// meeting stays at 10:00 across a DST change and every instant comes from one zone database.
#include "ical/ics_events.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <tuple>

#include "ical/event_version.h"
#include "ical/file_zones.h"
#include "ical/ics_reader.h"
#include "ical/ics_values.h"
#include "ical/recurrence_rule.h"
#include "ical/time_zone.h"

namespace vandrelis::store {

using namespace ics;

namespace {

constexpr Instant kInfinity = std::numeric_limits<Instant>::infinity();
// The largest offsets of any zone: a floating time means a different instant in each.
constexpr Instant kFloatingMargin = 14 * 3600;
// A COUNT rule is expanded this far to find its last occurrence for the item's span; past it
// the span is left open, which is never wrong.
constexpr int kSpanCountLimit = 10'000;

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

}  // namespace

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
