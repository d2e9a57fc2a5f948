// The calendar store as the helper sees it: permission, calendars, the event query and the
// change notification. Every property is read through a call so that stores may read lazily.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vandrelis::store {

// Seconds since 1970-01-01T00:00:00Z. A double, as the platform keeps instants: it carries
// sub-millisecond parts and may in principle be non-finite.
using Instant = double;

// Authorization status values of the platform store. Other values can occur.
inline constexpr std::int64_t kStatusNotDetermined = 0;
inline constexpr std::int64_t kStatusRestricted = 1;
inline constexpr std::int64_t kStatusDenied = 2;
inline constexpr std::int64_t kStatusFullAccess = 3;
inline constexpr std::int64_t kStatusWriteOnly = 4;

// A failure reported by the store itself; the description is the platform's own text.
struct StoreError {
  std::string description;
};

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

// Called exactly once, on any thread, with the granted flag and an error when the request
// itself failed.
using AccessCompletion = std::function<void(bool granted, std::optional<StoreError> error)>;

class CalendarStore {
 public:
  virtual ~CalendarStore() = default;

  virtual std::int64_t authorizationStatus() const = 0;
  // May complete on another thread, before or after returning.
  virtual void requestFullAccessToEvents(AccessCompletion completion) = 0;

  // Calendars of the event entity type, in the store's order.
  virtual CalendarList calendarsForEvents() const = 0;
  virtual std::shared_ptr<const Calendar> defaultCalendarForNewEvents() const = 0;
  // The events of the given calendars that fall in [start, end); a repeating event comes as
  // one event per occurrence. An empty calendar list gives no events.
  virtual EventList eventsMatching(Instant start, Instant end,
                                   const CalendarList& calendars) const = 0;
  // The same events in the same order, each handed to `visit` (null ones left out); stores
  // override it to avoid holding a handle per occurrence. The query is complete before the
  // first call, so a store that fails does so before anything is visited.
  virtual void visitEventsMatching(Instant start, Instant end, const CalendarList& calendars,
                                   const std::function<void(const Event&)>& visit) const {
    for (const std::shared_ptr<const Event>& event : eventsMatching(start, end, calendars)) {
      if (event) visit(*event);
    }
  }

  // Makes the store post kStoreChangedNotification (sender: this store) from now on. Stores
  // that always post may do nothing here.
  virtual void beginObservingChanges() {}
};

}  // namespace vandrelis::store
