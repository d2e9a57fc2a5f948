// Each store answers for its own calendars only, so a query is handed to both with the whole
// list and their sorted answers are merged; ties keep the primary's events first.
#include "store/composite_store.h"

#include <algorithm>
#include <iterator>

namespace vandrelis::store {
namespace {

// The query's order: start, end, item identifier, occurrence date (absent values first).
bool occursBefore(const Event& a, const Event& b) {
  std::optional<Instant> aStart = a.startDate(), bStart = b.startDate();
  if (aStart != bStart) return aStart < bStart;
  std::optional<Instant> aEnd = a.endDate(), bEnd = b.endDate();
  if (aEnd != bEnd) return aEnd < bEnd;
  if (int order = a.calendarItemIdentifier().compare(b.calendarItemIdentifier()); order != 0)
    return order < 0;
  return a.occurrenceDate() < b.occurrenceDate();
}

}  // namespace

CompositeStore::CompositeStore(std::unique_ptr<CalendarStore> primary,
                               std::unique_ptr<CalendarStore> added,
                               std::chrono::milliseconds coalescing)
    : primary_(std::move(primary)), added_(std::move(added)), coalescing_(coalescing) {}

CompositeStore::~CompositeStore() {
  NotificationCenter& center = NotificationCenter::defaultCenter();
  if (primaryToken_) center.removeObserver(*primaryToken_);
  if (addedToken_) center.removeObserver(*addedToken_);
  {
    std::lock_guard lock(noticeMutex_);
    stopping_ = true;
  }
  noticeCondition_.notify_all();
  if (poster_.joinable()) poster_.join();
}

CalendarList CompositeStore::calendarsForEvents() const {
  CalendarList calendars = primary_->calendarsForEvents();
  if (granted()) {
    CalendarList more = added_->calendarsForEvents();
    calendars.insert(calendars.end(), more.begin(), more.end());
  }
  return calendars;
}

std::shared_ptr<const Calendar> CompositeStore::defaultCalendarForNewEvents() const {
  if (auto calendar = primary_->defaultCalendarForNewEvents()) return calendar;
  return granted() ? added_->defaultCalendarForNewEvents() : nullptr;
}

EventList CompositeStore::eventsMatching(Instant start, Instant end,
                                         const CalendarList& calendars) const {
  EventList first = primary_->eventsMatching(start, end, calendars);
  if (!granted()) return first;
  EventList second = added_->eventsMatching(start, end, calendars);
  if (second.empty()) return first;
  EventList merged;
  merged.reserve(first.size() + second.size());
  std::merge(first.begin(), first.end(), second.begin(), second.end(), std::back_inserter(merged),
             [](const auto& a, const auto& b) { return occursBefore(*a, *b); });
  return merged;
}

void CompositeStore::visitEventsMatching(Instant start, Instant end, const CalendarList& calendars,
                                         const std::function<void(const Event&)>& visit) const {
  EventList second;
  if (granted()) second = added_->eventsMatching(start, end, calendars);
  if (second.empty()) {
    primary_->visitEventsMatching(start, end, calendars, visit);
    return;
  }
  auto next = second.begin();
  primary_->visitEventsMatching(start, end, calendars, [&](const Event& event) {
    for (; next != second.end() && (!*next || occursBefore(**next, event)); ++next) {
      if (*next) visit(**next);
    }
    visit(event);
  });
  for (; next != second.end(); ++next) {
    if (*next) visit(**next);
  }
}

void CompositeStore::beginObservingChanges() {
  std::lock_guard lock(observeMutex_);
  if (!poster_.joinable()) poster_ = std::thread([this] { postNotices(); });
  NotificationCenter& center = NotificationCenter::defaultCenter();
  if (!primaryToken_) {
    primaryToken_ =
        center.addObserver(kStoreChangedNotification, primary_.get(), [this] { noticed(); });
    primary_->beginObservingChanges();
  }
  if (!addedToken_ && granted()) {
    addedToken_ =
        center.addObserver(kStoreChangedNotification, added_.get(), [this] { noticed(); });
    added_->beginObservingChanges();
  }
}

void CompositeStore::noticed() {
  {
    std::lock_guard lock(noticeMutex_);
    if (pending_) return;  // the notice on its way covers this change too
    pending_ = true;
  }
  noticeCondition_.notify_all();
}

void CompositeStore::postNotices() {
  std::unique_lock lock(noticeMutex_);
  for (;;) {
    noticeCondition_.wait(lock, [this] { return pending_ || stopping_; });
    if (noticeCondition_.wait_for(lock, coalescing_, [this] { return stopping_; })) return;
    // Cleared before posting: a change from now on gets a notice of its own.
    pending_ = false;
    lock.unlock();
    NotificationCenter::defaultCenter().post(kStoreChangedNotification, this);
    lock.lock();
  }
}

}  // namespace vandrelis::store
