// What a calendar store hands out: instants, calendars with their sources, events and their
// participants. Every property is read through a call so that stores may read lazily; the
// iCalendar engine builds these as well as the stores that query it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vandrelis::store {

// Seconds since 1970-01-01T00:00:00Z. A double, as the platform keeps instants: it carries
// sub-millisecond parts and may in principle be non-finite.
using Instant = double;

struct CalendarColor {
  // The colour's components in its own colour space; absent when the colour gives none.
  std::optional<std::vector<double>> components;
};

class Source {
 public:
  virtual ~Source() = default;
  virtual std::string title() const = 0;
  // 0 local, 1 exchange, 2 caldav, 3 icloud, 4 subscribed, 5 birthdays; other values occur.
  virtual std::int64_t sourceType() const = 0;
};

class Calendar {
 public:
  virtual ~Calendar() = default;
  virtual std::string calendarIdentifier() const = 0;
  virtual std::string title() const = 0;
  virtual std::optional<CalendarColor> color() const = 0;
  // Null when the calendar has no source.
  virtual std::shared_ptr<const Source> source() const = 0;
  virtual bool allowsContentModifications() const = 0;
};

class Participant {
 public:
  virtual ~Participant() = default;
  virtual std::optional<std::string> name() const = 0;
  // The absolute string of the participant's URL.
  virtual std::string url() const = 0;
  virtual bool isCurrentUser() const = 0;
  // 0 undetermined, 1 pending ... 7 in process; other values occur.
  virtual std::int64_t participantStatus() const = 0;
};

using ParticipantList = std::vector<std::shared_ptr<const Participant>>;

class Event {
 public:
  virtual ~Event() = default;
  // Null only for a malformed store entry; queried events normally have one.
  virtual std::shared_ptr<const Calendar> calendar() const = 0;
  virtual std::string calendarItemIdentifier() const = 0;
  virtual std::optional<std::string> calendarItemExternalIdentifier() const = 0;
  virtual std::optional<std::string> title() const = 0;
  virtual std::optional<std::string> notes() const = 0;
  virtual std::optional<Instant> startDate() const = 0;
  virtual std::optional<Instant> endDate() const = 0;
  virtual bool isAllDay() const = 0;
  // 0 none, 1 confirmed, 2 tentative, 3 canceled; other values occur.
  virtual std::int64_t status() const = 0;
  // The absolute string of the event's URL.
  virtual std::optional<std::string> url() const = 0;
  virtual std::optional<std::string> location() const = 0;
  virtual std::shared_ptr<const Participant> organizer() const = 0;
  // Absent when the store gives no list. Handles are cheap; a participant's properties are
  // read only through its own calls.
  virtual std::optional<ParticipantList> attendees() const = 0;
  virtual std::optional<Instant> lastModifiedDate() const = 0;
  virtual bool hasRecurrenceRules() const = 0;
  virtual std::optional<Instant> occurrenceDate() const = 0;
  // IANA zone identifier of the event, when it has one.
  virtual std::optional<std::string> timeZone() const = 0;
  // Events of one query with the same non-null key differ at most in startDate, endDate and
  // occurrenceDate (the occurrences of one repeating event, say). Null when the store does
  // not tell.
  virtual const void* sharedPropertiesKey() const { return nullptr; }
};

using CalendarList = std::vector<std::shared_ptr<const Calendar>>;
using EventList = std::vector<std::shared_ptr<const Event>>;

}  // namespace vandrelis::store
