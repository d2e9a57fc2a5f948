// The three identity forms, the millisecond rounding, and the day in the event's or the
// process's time zone.
#include "recurrence_id.h"

#include <time.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <limits>

#include <gtest/gtest.h>

#include "memory_store.h"
#include "ical/civil_time.h"
#include "zone_guard.h"

namespace vandrelis {
namespace {

using testing::DefaultLocale;
using testing::DefaultZone;
using testing::MemoryEvent;

constexpr store::Instant kMay1 = 1714521600;  // 2024-05-01T00:00:00Z

MemoryEvent timed(std::optional<store::Instant> occurrence, bool repeating = true) {
  MemoryEvent event;
  event.recurrenceRules = repeating;
  event.occurrence = occurrence;
  event.start = kMay1 + 3600;
  return event;
}

TEST(RecurrenceId, ChoosesTheFormFromRulesOccurrenceAndStart) {
  MemoryEvent single = timed(std::nullopt, /*repeating=*/false);
  EXPECT_EQ(recurrenceId(single), "single");  // even with a start date
  EXPECT_EQ(single.log->count("timeZone"), 0);

  MemoryEvent detached = timed(kMay1, /*repeating=*/false);
  EXPECT_EQ(recurrenceId(detached), "time:1714521600000");

  MemoryEvent repeating = timed(std::nullopt);
  EXPECT_EQ(recurrenceId(repeating), "time:1714525200000");  // the start date

  MemoryEvent undated = timed(std::nullopt);
  undated.start.reset();
  EXPECT_EQ(recurrenceId(undated), "single");

  MemoryEvent allDay = timed(kMay1);
  allDay.allDay = true;
  allDay.zone = "UTC";
  EXPECT_EQ(recurrenceId(allDay), "date:2024-05-01");
  // The zone is read for all-day events only.
  EXPECT_EQ(detached.log->count("timeZone"), 0);
  EXPECT_EQ(allDay.log->count("timeZone"), 1);
}

TEST(RecurrenceId, MillisecondsRoundHalvesAwayFromZero) {
  EXPECT_EQ(recurrenceId(timed(0.0625)), "time:63");
  EXPECT_EQ(recurrenceId(timed(-0.0625)), "time:-63");
  EXPECT_EQ(recurrenceId(timed(-0.001)), "time:-1");  // 1969-12-31T23:59:59.999Z
  EXPECT_EQ(recurrenceId(timed(0.0)), "time:0");
  EXPECT_EQ(recurrenceId(timed(-0.0004)), "time:0");  // no "-0"
  EXPECT_EQ(recurrenceId(timed(kMay1 + 0.2504)), "time:1714521600250");

  EXPECT_EQ(roundedMilliseconds(9.2e15), 9200000000000000000);
  EXPECT_EQ(roundedMilliseconds(-9.2e15), -9200000000000000000);
  // Beyond the 64-bit range, and non-finite: no millisecond form, so the identity is "single".
  EXPECT_EQ(roundedMilliseconds(9.3e15), std::nullopt);
  EXPECT_EQ(roundedMilliseconds(-9.3e15), std::nullopt);
  EXPECT_EQ(recurrenceId(timed(9.3e15)), "single");
  EXPECT_EQ(recurrenceId(timed(std::numeric_limits<double>::infinity())), "single");
  EXPECT_EQ(recurrenceId(timed(std::nan(""))), "single");
}

TEST(RecurrenceId, DayIsTakenInTheEventZoneOrTheProcessZone) {
  MemoryEvent event = timed(kMay1 + 22 * 3600);  // 2024-05-01T22:00:00Z
  event.allDay = true;
  event.zone = "Etc/GMT-2";  // two hours ahead of UTC
  EXPECT_EQ(recurrenceId(event), "date:2024-05-02");
  event.zone = "UTC";
  EXPECT_EQ(recurrenceId(event), "date:2024-05-01");
  event.zone = "Europe/Berlin";  // summer time: also two hours ahead
  EXPECT_EQ(recurrenceId(event), "date:2024-05-02");

  event.zone.reset();
  {
    DefaultZone zone("Etc/GMT-2");
    EXPECT_EQ(recurrenceId(event), "date:2024-05-02");
    // An identifier the zone database does not know falls back to the process zone too.
    event.zone = "Not/AZone";
    EXPECT_EQ(recurrenceId(event), "date:2024-05-02");
    event.zone.reset();
  }
  {
    DefaultZone zone("America/Los_Angeles");
    EXPECT_EQ(recurrenceId(event), "date:2024-05-01");
  }

  // The millisecond form ignores every zone.
  MemoryEvent timedEvent = timed(kMay1);
  timedEvent.zone = "Asia/Tokyo";
  DefaultZone zone("Pacific/Kiritimati");
  EXPECT_EQ(recurrenceId(timedEvent), "time:1714521600000");
}

TEST(RecurrenceId, DayUsesAsciiDigitsAndGregorianYearsWhateverTheLocale) {
  DefaultLocale locale("th_TH@calendar=buddhist;numbers=thai");
  MemoryEvent event = timed(kMay1 + 12 * 3600);
  event.allDay = true;
  event.zone = "Asia/Bangkok";
  EXPECT_EQ(recurrenceId(event), "date:2024-05-01");

  // Year below 1000 is zero-padded to four digits. (Mid-June, so the Julian and Gregorian
  // reckonings of that year agree on the month.)
  event.occurrence = -33765897600.0 + 165 * 86400.0 + 43200;
  event.zone = "UTC";
  EXPECT_EQ(recurrenceId(event).substr(0, 13), "date:0900-06-");

  // Proleptic Gregorian, astronomical years: 0 is the year before 1, and years grow past four
  // digits rather than wrapping.
  for (auto [year, expected] : {std::pair{0, "date:0000-06-15"}, std::pair{-1, "date:-0001-06-15"},
                                std::pair{12345, "date:12345-06-15"}}) {
    event.occurrence = static_cast<store::Instant>(store::daysFromCivil(year, 6, 15) * 86400);
    EXPECT_EQ(recurrenceId(event), expected);
  }

  // Beyond what the calendar can hold there is no day; the identity is "single".
  event.occurrence = 1e300;
  EXPECT_EQ(recurrenceId(event), "single");
  event.occurrence = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(recurrenceId(event), "single");
}

// Zones whose rules changed after 2022 and a rule string: the day must be the one the C library
// gives from the same system data, for a monthly all-day series over two years.
TEST(RecurrenceId, DayComesFromTheSystemZoneData) {
  if (!std::filesystem::exists("/usr/share/zoneinfo/America/Nuuk")) {
    if (std::getenv("CI")) FAIL() << "tzdata is not installed";
    GTEST_SKIP() << "tzdata is not installed";
  }
  struct Case {
    const char* tz;
    std::optional<std::string> eventZone;
  } const kCases[] = {{"Africa/Cairo", "Africa/Cairo"},
                      {"America/Nuuk", "America/Nuuk"},
                      {"America/Asuncion", "America/Asuncion"},
                      {"CET-1CEST,M3.5.0,M10.5.0/3", std::nullopt}};
  for (const Case& c : kCases) {
    DefaultZone zone(c.tz);
    for (int month = 0; month < 24; ++month) {
      struct tm midnight {};
      midnight.tm_year = 124 + month / 12;
      midnight.tm_mon = month % 12;
      midnight.tm_mday = 1;
      midnight.tm_isdst = -1;
      const time_t start = mktime(&midnight);
      // The start of the day, and its last second.
      for (time_t instant : {start, start + 86399}) {
        struct tm local {};
        localtime_r(&instant, &local);
        char expected[32];
        std::strftime(expected, sizeof expected, "date:%Y-%m-%d", &local);
        MemoryEvent event = timed(static_cast<store::Instant>(instant));
        event.allDay = true;
        event.zone = c.eventZone;
        EXPECT_EQ(recurrenceId(event), expected) << c.tz;
      }
    }
  }
}

}  // namespace
}  // namespace vandrelis
