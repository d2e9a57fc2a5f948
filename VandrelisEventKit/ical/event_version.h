// One version of an event: one VEVENT's dates, rules and shared properties, which of several
// copies of an event counts, and the identity that names an event within its item.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ical/ics_events.h"
#include "ical/ics_values.h"
#include "ical/recurrence_rule.h"

namespace vandrelis::store::ics {

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

// None when the component cannot be read.
std::optional<EventVersion> readVersion(std::string_view componentText, std::size_t order,
                                        const IcsItem& item, const std::string& identifier,
                                        FileZones& zones);

// Which version of one event (one UID and RECURRENCE-ID) counts: one with a usable DTSTART
// over one without (an iTIP REPLY kept in the file, newer but without DTSTART, is no version
// of the event), then the highest SEQUENCE, the latest LAST-MODIFIED, DTSTAMP, and the last in
// the file.
bool supersedes(const EventVersion& a, const EventVersion& b);

std::uint64_t fnv1a(std::string_view text);

// The part of an event's identifier that follows the item's: the UID with "%" and a leading
// "#" escaped, or "#" and a hash of the event's text for an event without UID.
std::string identityKey(const std::optional<std::string>& uid, std::string_view componentText);

// An event's UID, escapes undone; an empty one is none, so that events written with "UID:"
// are events of their own, as events without UID are.
std::optional<std::string> uidOf(std::string_view componentText);

}  // namespace vandrelis::store::ics
