// The Linux helper's store: the vdir tree, which also decides permission, and GNOME's
// calendars (EDS) after it, included only when the tree grants access.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "store/calendar_store.h"
#include "store/notification_center.h"

namespace vandrelis::store {

class CompositeStore : public CalendarStore {
 public:
  CompositeStore(std::unique_ptr<CalendarStore> primary, std::unique_ptr<CalendarStore> added);
  ~CompositeStore() override;

  std::int64_t authorizationStatus() const override { return primary_->authorizationStatus(); }
  void requestFullAccessToEvents(AccessCompletion completion) override {
    primary_->requestFullAccessToEvents(std::move(completion));
  }

  // The primary's calendars, then the added store's when access is granted.
  CalendarList calendarsForEvents() const override;
  // The primary's default, else the added store's.
  std::shared_ptr<const Calendar> defaultCalendarForNewEvents() const override;
  // Both stores' events (each takes only its own calendars), in the query's order.
  EventList eventsMatching(Instant start, Instant end,
                           const CalendarList& calendars) const override;
  // The same, streamed: the primary's events are visited as it yields them, the added store's
  // (a desktop database, held in full) slotted in between in order.
  void visitEventsMatching(Instant start, Instant end, const CalendarList& calendars,
                           const std::function<void(const Event&)>& visit) const override;
  // Either store's notice is posted again with this store as sender.
  void beginObservingChanges() override;

 private:
  bool granted() const { return primary_->authorizationStatus() == kStatusFullAccess; }

  std::unique_ptr<CalendarStore> primary_;
  std::unique_ptr<CalendarStore> added_;
  std::mutex observeMutex_;
  std::optional<NotificationCenter::Token> primaryToken_, addedToken_;
};

}  // namespace vandrelis::store
