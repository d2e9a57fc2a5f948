// The calendar store as the helper sees it: permission, calendars, the event query and the
// change notification.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "records/calendar_records.h"

namespace vandrelis::store {

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
