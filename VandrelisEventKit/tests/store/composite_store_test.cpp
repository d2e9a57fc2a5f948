#include "store/composite_store.h"

#include <chrono>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "memory_store.h"
#include "store/notification_center.h"

namespace vandrelis::store {
namespace {

using testing::MemoryEvent;
using testing::MemoryStore;

std::shared_ptr<MemoryEvent> at(std::string item, Instant start) {
  auto made = std::make_shared<MemoryEvent>();
  made->itemIdentifier = std::move(item);
  made->start = start;
  made->end = start + 60;
  return made;
}

// The streamed query gives what the whole query gives: both stores' events in one order,
// and only the primary's when it does not grant access.
TEST(CompositeStore, StreamedQueryMatchesTheWholeOne) {
  auto primary = std::make_unique<MemoryStore>();
  auto added = std::make_unique<MemoryStore>();
  MemoryStore* primaryStore = primary.get();
  primary->events = {at("p1", 10), at("p2", 20), at("p3", 20), at("p4", 40)};
  added->events = {at("a0", 5), at("a1", 20), at("a2", 30), at("a3", 50), at("a4", 60)};
  CompositeStore store(std::move(primary), std::move(added));
  CalendarList calendars = {testing::makeCalendar("any")};

  auto visited = [&] {
    std::vector<std::string> items;
    store.visitEventsMatching(0, 100, calendars, [&](const Event& event) {
      items.push_back(event.calendarItemIdentifier());
    });
    return items;
  };
  std::vector<std::string> whole;
  for (const auto& event : store.eventsMatching(0, 100, calendars)) {
    whole.push_back(event->calendarItemIdentifier());
  }
  // Equal starts and ends are ordered by item identifier.
  const std::vector<std::string> expected = {"a0", "p1", "a1", "p2", "p3", "a2", "p4", "a3", "a4"};
  EXPECT_EQ(whole, expected);
  EXPECT_EQ(visited(), expected);

  primaryStore->status = kStatusDenied;
  EXPECT_EQ(visited(), (std::vector<std::string>{"p1", "p2", "p3", "p4"}));
}

// Notices of both stores close together give one notice after them; a later one its own.
TEST(CompositeStore, NoticesOfBothStoresAreCoalesced) {
  auto primary = std::make_unique<MemoryStore>();
  auto added = std::make_unique<MemoryStore>();
  const void* primarySender = primary.get();
  const void* addedSender = added.get();
  // A window far longer than a stall of the test machine between two posts.
  CompositeStore store(std::move(primary), std::move(added), std::chrono::seconds(1));
  std::mutex mutex;
  int notices = 0;
  NotificationCenter& center = NotificationCenter::defaultCenter();
  auto token = center.addObserver(kStoreChangedNotification, &store, [&] {
    std::lock_guard lock(mutex);
    ++notices;
  });
  store.beginObservingChanges();
  const auto noticesAfter = [&](std::chrono::seconds settle) {
    std::this_thread::sleep_for(settle);
    std::lock_guard lock(mutex);
    return notices;
  };

  center.post(kStoreChangedNotification, primarySender);
  center.post(kStoreChangedNotification, addedSender);
  center.post(kStoreChangedNotification, primarySender);
  EXPECT_EQ(noticesAfter(std::chrono::seconds(3)), 1);
  center.post(kStoreChangedNotification, addedSender);
  EXPECT_EQ(noticesAfter(std::chrono::seconds(3)), 2);
  center.removeObserver(token);
}

}  // namespace
}  // namespace vandrelis::store
