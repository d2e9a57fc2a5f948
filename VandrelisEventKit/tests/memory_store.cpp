// In-memory store behaviour: the access request may complete on a thread of its own, as the
// platform's does.
#include "memory_store.h"

#include <thread>

#include "store/notification_center.h"

namespace vandrelis::testing {

void MemoryStore::requestFullAccessToEvents(AccessCompletion completion) {
  ++accessRequests;
  AccessOutcome outcome = accessOutcome;
  auto finish = [this, outcome, completion = std::move(completion)] {
    if (outcome.statusAfter) status = *outcome.statusAfter;
    completion(outcome.granted, outcome.error);
  };
  if (outcome.completeOnOtherThread) {
    std::thread(finish).detach();
  } else {
    finish();
  }
}

CalendarList MemoryStore::calendarsForEvents() const {
  ++calendarListReads;
  return CalendarList(calendars.begin(), calendars.end());
}

std::shared_ptr<const Calendar> MemoryStore::defaultCalendarForNewEvents() const {
  ++defaultCalendarReads;
  return defaultCalendar;
}

EventList MemoryStore::eventsMatching(Instant start, Instant end,
                                      const CalendarList& selected) const {
  ++queryCount;
  lastQueryStart = start;
  lastQueryEnd = end;
  lastQueryCalendars.clear();
  for (const auto& calendar : selected) lastQueryCalendars.push_back(calendar->calendarIdentifier());
  if (selected.empty()) return {};
  return EventList(events.begin(), events.end());
}

void MemoryStore::postChanged() const {
  const CalendarStore* sender = this;  // the address observers filter on
  store::NotificationCenter::defaultCenter().post(store::kStoreChangedNotification, sender);
}

std::shared_ptr<MemoryCalendar> makeCalendar(std::string identifier, std::string title,
                                             std::string sourceTitle, std::int64_t sourceType) {
  auto source = std::make_shared<MemorySource>();
  source->titleValue = std::move(sourceTitle);
  source->sourceTypeValue = sourceType;
  auto calendar = std::make_shared<MemoryCalendar>();
  calendar->identifier = std::move(identifier);
  calendar->titleValue = std::move(title);
  calendar->sourceValue = std::move(source);
  return calendar;
}

std::shared_ptr<MemoryParticipant> makeParticipant(std::optional<std::string> name,
                                                   std::string url, std::int64_t status,
                                                   bool currentUser) {
  auto participant = std::make_shared<MemoryParticipant>();
  participant->nameValue = std::move(name);
  participant->urlValue = std::move(url);
  participant->statusValue = status;
  participant->currentUser = currentUser;
  return participant;
}

}  // namespace vandrelis::testing
