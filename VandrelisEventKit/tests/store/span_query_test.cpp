// Long windows are asked for in consecutive spans, and every occurrence comes once, in order.
#include "store/span_query.h"

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "memory_store.h"

namespace vandrelis::store {
namespace {

using Span = std::pair<Instant, Instant>;

std::shared_ptr<const Event> occurrence(std::string id, std::optional<Instant> occurrenceDate,
                                        std::optional<Instant> start) {
  auto event = std::make_shared<testing::MemoryEvent>();
  event->itemIdentifier = std::move(id);
  event->occurrence = occurrenceDate;
  event->start = start;
  return event;
}

TEST(SpanQuery, LongWindowsAreCutIntoCoveringSpansAndJoinedWithEachOccurrenceOnce) {
  const auto weekly = occurrence("weekly", 95.0, 95.0);       // answered by the first two spans
  const auto moved = occurrence("weekly", 105.0, 190.0);      // same item, another occurrence
  const auto longEvent = occurrence("long", 50.0, 50.0);      // overlaps all three spans
  const auto noDates = occurrence("undated", std::nullopt, std::nullopt);
  const auto startOnly = occurrence("single", std::nullopt, 199.0);
  std::vector<Span> asked;
  const EventList events = querySpans(0, 250, 100, [&](Instant start, Instant end) {
    asked.emplace_back(start, end);
    if (start == 0) return EventList{longEvent, weekly, noDates};
    if (start == 100) return EventList{weekly, longEvent, moved, noDates, startOnly};
    return EventList{startOnly, longEvent, nullptr};
  });
  EXPECT_EQ(asked, (std::vector<Span>{{0, 100}, {100, 200}, {200, 250}}));
  // Undated events cannot be told apart and are all kept, as are entries without an event.
  EXPECT_EQ(events,
            (EventList{longEvent, weekly, noDates, moved, noDates, startOnly, nullptr}));
}

TEST(SpanQuery, WindowsThatNeedNoCuttingPassUnchangedAndUnread) {
  const auto event = occurrence("item", 1.0, 1.0);
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Span windows[] = {{0, 100}, {5, 5}, {300, 0}, {0, inf}, {-inf, 0}, {nan, 1}};
  for (const Span& window : windows) {
    std::vector<Span> asked;
    const EventList events = querySpans(window.first, window.second, 100, [&](Instant s, Instant e) {
      asked.emplace_back(s, e);
      return EventList{event, event};
    });
    ASSERT_EQ(asked.size(), 1u) << window.first << " " << window.second;
    EXPECT_TRUE(asked[0].first == window.first || std::isnan(window.first));
    EXPECT_EQ(asked[0].second, window.second);
    EXPECT_EQ(events.size(), 2u) << "one span is answered as the store gives it";
  }
  EXPECT_EQ(std::static_pointer_cast<const testing::MemoryEvent>(event)->log->count(
                "calendarItemIdentifier"),
            0);
}

}  // namespace
}  // namespace vandrelis::store
