// list-calendars through the in-memory store: colours, caps, source types, the default flag,
// the gate, and the exact bytes of the answer.
#include "calendar_listing.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "memory_store.h"
#include "test_support.h"

namespace vandrelis {
namespace {

using testing::makeCalendar;
using testing::MemoryStore;
using testing::runInProcess;

std::optional<std::string> colorOf(std::vector<double> components) {
  return colorText(store::CalendarColor{std::move(components)});
}

std::string repeat(std::string_view unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out.append(unit);
  return out;
}

TEST(CalendarListing, ColorIsFirstThreeComponentsTimes255RoundedHalfAwayFromZero) {
  EXPECT_EQ(colorOf({1.0, 0.5, 0.0}), "#FF8000");
  EXPECT_EQ(colorOf({0.1, 0.2, 0.3}), "#1A334D");
  EXPECT_EQ(colorOf({0.1, 0.2, 0.3, 0.4}), "#1A334D");  // a fourth component is ignored
  EXPECT_EQ(colorOf({0.0, 0.0, 0.0}), "#000000");
  EXPECT_EQ(colorOf({-0.0, 1.0, 1.0}), "#00FFFF");
  EXPECT_EQ(colorOf({0.25, 0.75, 0.998}), "#40BFFE");  // 63.75, 191.25, 254.49
  // Not clamped above 1: three or more digits, exact even past 64-bit integers.
  EXPECT_EQ(colorOf({2.0, 1.0, 16.0}), "#1FEFFFF0");
  EXPECT_EQ(colorOf({0x1p60, 0.0, 0.0}), "#FF0000000000000000000");
  EXPECT_EQ(colorOf({1e30, 0.0, 0.0}), "#C928D7033762E800000000000000000");

  EXPECT_EQ(colorOf({0.5, 0.5}), std::nullopt);  // grey and alpha
  EXPECT_EQ(colorOf({}), std::nullopt);
  EXPECT_EQ(colorText(std::nullopt), std::nullopt);
  EXPECT_EQ(colorText(store::CalendarColor{std::nullopt}), std::nullopt);
  EXPECT_EQ(colorOf({1.0, -0.001, 0.0}), std::nullopt);
  EXPECT_EQ(colorOf({std::nan(""), 0.0, 0.0}), std::nullopt);
  EXPECT_EQ(colorOf({0.0, 0.0, std::numeric_limits<double>::infinity()}), std::nullopt);
  EXPECT_EQ(colorOf({std::numeric_limits<double>::max(), 0.0, 0.0}), std::nullopt);
}

TEST(CalendarListing, SourceTypeWordsAndUnknownValues) {
  const char* words[] = {"local", "exchange", "caldav", "icloud", "subscribed", "birthdays"};
  for (std::int64_t value = 0; value < 6; ++value) EXPECT_EQ(sourceTypeWord(value), words[value]);
  EXPECT_EQ(sourceTypeWord(6), "unknown");
  EXPECT_EQ(sourceTypeWord(-1), "unknown");
  EXPECT_EQ(sourceTypeWord(std::numeric_limits<std::int64_t>::min()), "unknown");
}

TEST(CalendarListing, TitlesAreCutTo256UserPerceivedCharacters) {
  auto calendar = makeCalendar("c", repeat("a", 300), repeat("b", 256));
  CalendarOutput output = calendarOutput(*calendar, std::nullopt);
  EXPECT_EQ(output.title, repeat("a", 256));
  EXPECT_EQ(output.sourceTitle, repeat("b", 256));

  // A family emoji: seven code points joined into one character.
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466";
  const std::string flag = "\U0001F1F3\U0001F1F4";
  calendar->titleValue = repeat(family, 300);
  calendar->sourceValue->titleValue = repeat(flag, 257);
  output = calendarOutput(*calendar, std::nullopt);
  EXPECT_EQ(output.title, repeat(family, 256));
  EXPECT_EQ(output.sourceTitle, repeat(flag, 256));
}

TEST(CalendarListing, ListsEveryCalendarInStoreOrderWithExactBytes) {
  auto store = std::make_shared<MemoryStore>();
  auto work = makeCalendar("W/1", "Work \"team\"", "iCloud", 3);
  work->colorValue = store::CalendarColor{std::vector<double>{1.0, 0.5, 0.0, 1.0}};
  auto birthdays = makeCalendar("B", "Birthdays", "Other", 5);
  birthdays->allowsModifications = false;
  auto odd = makeCalendar("A", "Odd", "Future", 6);
  odd->colorValue = store::CalendarColor{std::vector<double>{0.5, 1.0}};
  auto sourceless = makeCalendar("Z", "Orphan");
  sourceless->sourceValue = nullptr;
  store->calendars = {work, birthdays, odd, sourceless, makeCalendar("B", "Twin")};
  store->defaultCalendar = makeCalendar("B", "Default");

  testing::RunResult result = runInProcess({"list-calendars", "extra"}, store);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out,
            R"([{"allowsContentModifications":true,"color":"#FF8000","externalId":"W\/1",)"
            R"("primary":false,"sourceTitle":"iCloud","sourceType":"icloud",)"
            R"("title":"Work \"team\""},)"
            R"({"allowsContentModifications":false,"externalId":"B","primary":true,)"
            R"("sourceTitle":"Other","sourceType":"birthdays","title":"Birthdays"},)"
            R"({"allowsContentModifications":true,"externalId":"A","primary":false,)"
            R"("sourceTitle":"Future","sourceType":"unknown","title":"Odd"},)"
            R"({"allowsContentModifications":true,"externalId":"Z","primary":false,)"
            R"("title":"Orphan"},)"
            R"({"allowsContentModifications":true,"externalId":"B","primary":true,)"
            R"("sourceTitle":"Local","sourceType":"local","title":"Twin"}])"
            "\n");
  EXPECT_EQ(store->defaultCalendarReads, 1);
  EXPECT_EQ(store->calendarListReads, 1);
}

TEST(CalendarListing, PrimaryNeedsADefaultCalendarWithAnEqualIdentifier) {
  MemoryStore store;
  store.calendars = {makeCalendar("a"), makeCalendar("b")};
  auto primaries = [&] {
    std::vector<bool> flags;
    for (const CalendarOutput& output : calendarOutputs(store)) flags.push_back(output.primary);
    return flags;
  };
  EXPECT_EQ(primaries(), (std::vector<bool>{false, false}));
  store.defaultCalendar = makeCalendar("b");
  EXPECT_EQ(primaries(), (std::vector<bool>{false, true}));
  store.defaultCalendar = makeCalendar("c");  // a default that is not an event calendar
  EXPECT_EQ(primaries(), (std::vector<bool>{false, false}));
  store.defaultCalendar = makeCalendar("");
  EXPECT_EQ(primaries(), (std::vector<bool>{false, false}));
}

TEST(CalendarListing, EmptyStoreAndThePermissionGate) {
  auto store = std::make_shared<MemoryStore>();
  testing::RunResult result = runInProcess({"list-calendars"}, store);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "[]\n");

  store->calendars = {makeCalendar("a")};
  for (std::int64_t status :
       {store::kStatusWriteOnly, store::kStatusDenied, store::kStatusNotDetermined,
        store::kStatusRestricted, std::int64_t{7}}) {
    store->status = status;
    store->defaultCalendarReads = store->calendarListReads = 0;
    result = runInProcess({"list-calendars"}, store);
    EXPECT_EQ(result.exitStatus, 1) << status;
    EXPECT_EQ(result.out, "") << status;
    EXPECT_EQ(result.err, "vandrelis-eventkit: Calendar permission is not granted\n") << status;
    EXPECT_EQ(store->defaultCalendarReads + store->calendarListReads, 0) << status;
  }
}

}  // namespace
}  // namespace vandrelis
