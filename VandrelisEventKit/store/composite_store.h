// The Linux helper's store: the vdir tree, which also decides permission, and GNOME's
// calendars (EDS) after it, included only when the tree grants access.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "store/calendar_store.h"
#include "store/notification_center.h"

namespace vandrelis::store {

class CompositeStore : public CalendarStore {
 public:
  // Notices of either store that come within `coalescing` of the first give one notice, posted
  // once that time has passed (so it always follows the last change it stands for).
  CompositeStore(std::unique_ptr<CalendarStore> primary, std::unique_ptr<CalendarStore> added,
                 std::chrono::milliseconds coalescing = std::chrono::milliseconds(100));
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
  // Either store's notices are posted again, coalesced, with this store as sender.
  void beginObservingChanges() override;

 private:
  bool granted() const { return primary_->authorizationStatus() == kStatusFullAccess; }

  void noticed();
  void postNotices();

  std::unique_ptr<CalendarStore> primary_;
  std::unique_ptr<CalendarStore> added_;
  std::chrono::milliseconds coalescing_;
  std::mutex observeMutex_;
  std::optional<NotificationCenter::Token> primaryToken_, addedToken_;
  std::mutex noticeMutex_;
  std::condition_variable noticeCondition_;
  bool pending_ = false;
  bool stopping_ = false;
  std::thread poster_;
};

}  // namespace vandrelis::store
