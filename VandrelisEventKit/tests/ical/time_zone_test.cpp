// System and TZ-string zones checked against the C library as an independent reader of the
// same database, the gap and fold rule, and what the database refuses to read.
#include "ical/time_zone.h"

#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "zone_guard.h"

namespace vandrelis::store {
namespace {

using testing::DefaultZone;

bool hasZoneData() { return std::filesystem::exists("/usr/share/zoneinfo/Europe/Berlin"); }

#define REQUIRE_ZONE_DATA()                                                            \
  do {                                                                                 \
    if (!hasZoneData()) {                                                              \
      if (std::getenv("CI")) FAIL() << "tzdata is not installed";                      \
      GTEST_SKIP() << "tzdata is not installed";                                       \
    }                                                                                  \
  } while (0)

std::string show(std::int64_t t) {
  struct tm fields {};
  time_t value = static_cast<time_t>(t);
  gmtime_r(&value, &fields);
  char text[64];
  std::snprintf(text, sizeof text, "%lld (%04d-%02d-%02dT%02d:%02d:%02dZ)",
                static_cast<long long>(t), fields.tm_year + 1900, fields.tm_mon + 1,
                fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
  return text;
}

// Whether a wall time occurs exactly once in the zone.
bool unambiguous(const TimeZone& zone, std::int64_t instant) {
  std::int64_t wall = instant + zone.offsetAt(instant);
  int readings = 0;
  for (std::int32_t offset : {zone.offsetAt(instant - 86400), zone.offsetAt(instant),
                              zone.offsetAt(instant + 86400)}) {
    if (zone.offsetAt(wall - offset) == offset && wall - offset != instant) ++readings;
  }
  return readings == 0;
}

// Compares offset, wall reading and the way back at one instant with the C library under the
// current TZ; returns false after the first difference so a bad zone reports once.
bool agreesWithLibc(const TimeZone& zone, std::int64_t t, const char* tz) {
  struct tm local {};
  time_t value = static_cast<time_t>(t);
  localtime_r(&value, &local);
  CivilTime wall = zone.toCivil(t);
  CivilTime expected{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                     local.tm_hour,        local.tm_min,     local.tm_sec};
  EXPECT_EQ(zone.offsetAt(t), local.tm_gmtoff) << tz << " at " << show(t);
  EXPECT_EQ(wall, expected) << tz << " at " << show(t);
  if (unambiguous(zone, t)) {
    struct tm back = local;
    back.tm_isdst = -1;
    EXPECT_EQ(mktime(&back), value) << tz << " mktime of the wall time of " << show(t);
    EXPECT_EQ(zone.toInstant(wall), t) << tz << " toInstant of the wall time of " << show(t);
  }
  return !::testing::Test::HasFailure();
}

TEST(TimeZone, AgreesWithTheCLibraryFrom1900To2100) {
  REQUIRE_ZONE_DATA();
  const char* const kZones[] = {
      // Rules changed after 2022, then the usual suspects (30-minute DST, a skipped day, no DST).
      "America/Nuuk", "Africa/Cairo", "America/Asuncion", "Europe/Kyiv", "Europe/Berlin",
      "America/New_York", "Australia/Lord_Howe", "Pacific/Apia", "Asia/Kolkata", "UTC",
      // The ways TZ can name a zone, and rule strings: southern hemisphere, negative and
      // past-midnight change times, day-of-year forms, a quoted name, unknown names as UTC.
      ":Europe/Kyiv", "/usr/share/zoneinfo/Africa/Cairo", "EST5EDT", "CET-1CEST,M3.5.0,M10.5.0/3",
      "AEST-10AEDT,M10.1.0,M4.1.0/3", "<-02>2<-01>,M3.5.0/-1,M10.5.0/0", "<+0330>-3:30",
      "XXX3YYY,J60/-1:30,300/26", "ABC-5:45DEF-6,M3.2.0/167,M11.1.0/-20", "Not/AZone", ""};
  for (const char* tz : kZones) {
    DefaultZone scoped(tz);
    std::shared_ptr<const TimeZone> zone = localTimeZone();
    ASSERT_TRUE(zone) << tz;
    // Every 9 days and 7 minutes, and each change the zone reports, pinned to the second. The
    // C library computes a rule string's changes before 1971 as if in 1970, so those start later.
    const bool ruleString = std::string(tz).find(',') != std::string::npos;
    const std::int64_t from = ruleString ? 31536000 : -2208988800, to = 4102444800;  // .. 2100
    std::int64_t previous = from;
    for (std::int64_t t = from; t < to; t += 9 * 86400 + 7 * 60 + 1) {
      if (zone->offsetAt(t) != zone->offsetAt(previous)) {
        std::int64_t low = previous, high = t;  // offset changes in (low, high]
        while (high - low > 1) {
          std::int64_t mid = low + (high - low) / 2;
          (zone->offsetAt(mid) == zone->offsetAt(previous) ? low : high) = mid;
        }
        if (!agreesWithLibc(*zone, low, tz) || !agreesWithLibc(*zone, high, tz)) break;
      }
      if (!agreesWithLibc(*zone, t, tz)) break;
      previous = t;
    }
  }
}

CivilTime wall(int y, int mo, int d, int h, int mi) { return {y, mo, d, h, mi, 0}; }

TEST(TimeZone, GapsAndFoldsTakeTheOffsetBeforeTheChange) {
  REQUIRE_ZONE_DATA();
  struct Case {
    const char* zone;  // an identifier, or a TZ value when it starts with '@'
    CivilTime wall;
    const char* utc;
  } const kCases[] = {
      {"Europe/Berlin", wall(2024, 3, 31, 2, 30), "2024-03-31T01:30:00Z"},  // gap
      {"Europe/Berlin", wall(2024, 4, 1, 2, 30), "2024-04-01T00:30:00Z"},
      {"Europe/Berlin", wall(2024, 10, 27, 2, 30), "2024-10-27T00:30:00Z"},  // fold: first
      {"Europe/Berlin", wall(2024, 10, 27, 3, 0), "2024-10-27T02:00:00Z"},
      {"America/New_York", wall(2007, 11, 4, 1, 30), "2007-11-04T05:30:00Z"},
      {"America/New_York", wall(2007, 3, 11, 2, 0), "2007-03-11T07:00:00Z"},
      {"Australia/Lord_Howe", wall(2024, 10, 6, 2, 15), "2024-10-05T15:45:00Z"},
      {"Australia/Lord_Howe", wall(2024, 4, 7, 1, 45), "2024-04-06T14:45:00Z"},
      {"Pacific/Apia", wall(2011, 12, 30, 12, 0), "2011-12-30T22:00:00Z"},  // skipped day
      // Beyond the table, from the file's closing rule.
      {"Europe/Berlin", wall(2100, 3, 28, 2, 30), "2100-03-28T01:30:00Z"},
      {"America/New_York", wall(2300, 11, 4, 1, 30), "2300-11-04T05:30:00Z"},
      {"@CET-1CEST,M3.5.0,M10.5.0/3", wall(2024, 3, 31, 2, 30), "2024-03-31T01:30:00Z"},
      {"@CET-1CEST,M3.5.0,M10.5.0/3", wall(2024, 10, 27, 2, 30), "2024-10-27T00:30:00Z"},
      {"@AEST-10AEDT,M10.1.0,M4.1.0/3", wall(2024, 4, 7, 2, 30), "2024-04-06T15:30:00Z"},
  };
  for (const Case& c : kCases) {
    std::shared_ptr<const TimeZone> zone;
    std::optional<DefaultZone> scoped;
    if (c.zone[0] == '@') {
      scoped.emplace(c.zone + 1);
      zone = localTimeZone();
    } else {
      zone = systemTimeZone(c.zone);
    }
    ASSERT_TRUE(zone) << c.zone;
    struct tm fields {};
    strptime(c.utc, "%Y-%m-%dT%H:%M:%SZ", &fields);
    std::int64_t expected = timegm(&fields);
    EXPECT_EQ(zone->toInstant(c.wall), expected) << c.zone << " " << c.utc;
  }
}

// A TZif file of the first version (32-bit data, no closing rule): +1h from 2000, +2h from 2010.
std::string tzifVersion1() {
  auto be32 = [](std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(v >> shift & 0xff);
  };
  std::string out = "TZif";
  out += std::string(16, '\0');
  for (std::uint32_t count : {0u, 0u, 0u, 2u, 3u, 4u}) be32(out, count);
  be32(out, 946684800);
  be32(out, 1262304000);
  out += '\1';
  out += '\2';
  for (std::uint32_t offset : {0u, 3600u, 7200u}) {
    be32(out, offset);
    out += std::string("\0\0", 2);
  }
  out += std::string("UTC\0", 4);
  return out;
}

TEST(TimeZone, ReadsOnlyTzifFilesBelowTheDatabase) {
  REQUIRE_ZONE_DATA();
  auto dir = std::filesystem::temp_directory_path() / ("zones-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir / "Test");
  std::ofstream(dir / "Test" / "Old", std::ios::binary) << tzifVersion1();
  std::string truncated = tzifVersion1();
  truncated.resize(truncated.size() - 6);
  std::ofstream(dir / "Test" / "Cut", std::ios::binary) << truncated;
  std::ofstream(dir / "Test" / "Text") << "Europe/Berlin\n";

  setenv("TZDIR", dir.c_str(), 1);
  std::shared_ptr<const TimeZone> old = systemTimeZone("Test/Old");
  ASSERT_TRUE(old);
  EXPECT_EQ(old->offsetAt(946684799), 0);
  EXPECT_EQ(old->offsetAt(946684800), 3600);
  EXPECT_EQ(old->offsetAt(4102444800), 7200);  // the last type holds without a closing rule
  EXPECT_EQ(systemTimeZone("Test/Cut"), nullptr);
  EXPECT_EQ(systemTimeZone("Test/Text"), nullptr);
  EXPECT_EQ(systemTimeZone("Europe/Berlin"), nullptr);  // not in this database
  unsetenv("TZDIR");
  std::filesystem::remove_all(dir);

  for (const char* bad : {"", "/etc/localtime", "../zoneinfo/Europe/Berlin",
                          "Europe/../Europe/Berlin", "Europe//Berlin", "./UTC", "Europe/Berlin/",
                          "Europe", "zone.tab", "Not/AZone"}) {
    EXPECT_EQ(systemTimeZone(bad), nullptr) << bad;
  }
  EXPECT_EQ(systemTimeZone("Europe/Berlin"), systemTimeZone("Europe/Berlin"));  // read once
  EXPECT_EQ(systemTimeZone("Europe/Berlin")->offsetAt(1719792000), 7200);
  EXPECT_EQ(utcTimeZone()->toInstant(wall(2024, 7, 1, 0, 0)), 1719792000);
}

RecurrenceRule yearly(int month, WeekdayNum day) {
  RecurrenceRule rule;
  rule.frequency = Frequency::yearly;
  rule.byMonth = {month};
  rule.byDay = {day};
  return rule;
}

ZoneObservance observance(CivilTime start, int fromHours, int toHours,
                           std::optional<RecurrenceRule> rule) {
  return {start, fromHours * 3600, toHours * 3600, std::move(rule), {}};
}

// Europe/Berlin as calendar programs write it: last Sunday of March and of October.
std::vector<ZoneObservance> berlinDefinition() {
  return {observance(wall(1996, 10, 27, 3, 0), 2, 1, yearly(10, {-1, 6})),
          observance(wall(1981, 3, 29, 2, 0), 1, 2, yearly(3, {-1, 6}))};
}

TEST(DefinedTimeZone, FollowsItsRulesAsTheSystemZoneDoes) {
  REQUIRE_ZONE_DATA();
  std::shared_ptr<const TimeZone> defined = definedTimeZone(berlinDefinition());
  std::shared_ptr<const TimeZone> system = systemTimeZone("Europe/Berlin");
  ASSERT_TRUE(defined && system);
  const std::int64_t from = 852076800, to = 2145916800;  // 1997 .. 2038
  // Forwards, then with strides that leave and re-enter the cached years.
  for (std::int64_t stride : {std::int64_t{86400 + 421}, std::int64_t{-(86400 * 397 + 13)}}) {
    std::int64_t t = stride > 0 ? from : to - 1;
    for (; t >= from && t < to; t += stride) {
      for (std::int64_t near : {t, t - t % 3600, t - t % 3600 - 1}) {
        ASSERT_EQ(defined->offsetAt(near), system->offsetAt(near)) << show(near);
        CivilTime wall = system->toCivil(near);
        wall.minute = 30;  // lands in every gap and fold
        ASSERT_EQ(defined->toInstant(wall), system->toInstant(wall)) << show(near);
      }
    }
  }
  // Before its first observance the zone keeps that observance's offsetFrom.
  EXPECT_EQ(defined->offsetAt(315532800), 3600);  // 1980
  EXPECT_EQ(defined->toInstant(wall(1900, 7, 1, 0, 0)), -2193354000);
  EXPECT_EQ(definedTimeZone({}), nullptr);
}

TEST(DefinedTimeZone, AnswersAlikeFromManyThreadsWhileItsCacheTurnsOver) {
  REQUIRE_ZONE_DATA();
  std::shared_ptr<const TimeZone> defined = definedTimeZone(berlinDefinition());
  std::shared_ptr<const TimeZone> system = systemTimeZone("Europe/Berlin");
  std::atomic<int> differences{0};
  std::vector<std::thread> threads;
  for (int n = 0; n < 4; ++n) {
    threads.emplace_back([&, n] {
      // Each thread walks 1997..2037 from its own start, so the cached years keep changing.
      for (std::int64_t i = 0; i < 4000; ++i) {
        std::int64_t t = 852076800 + ((i * 7919 + n * 1000) % 4000) * 323456;
        if (defined->offsetAt(t) != system->offsetAt(t)) ++differences;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(differences, 0);
}

TEST(DefinedTimeZone, HostileDefinitionsCostLittlePerQuery) {
  REQUIRE_ZONE_DATA();
  RecurrenceRule minutely;
  minutely.frequency = Frequency::minutely;
  std::vector<ZoneObservance> everyMinute = berlinDefinition();
  everyMinute.push_back(observance(wall(1970, 1, 1, 0, 0), 2, 5, minutely));
  // Every half hour of every day, a grid that never meets its second, a day that never is.
  std::vector<ZoneObservance> dense = berlinDefinition();
  for (const char* rule : {"FREQ=DAILY;BYHOUR=0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,"
                           "20,21,22,23;BYMINUTE=0,30",
                           "FREQ=SECONDLY;INTERVAL=14;BYSECOND=1",
                           "FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30"}) {
    ASSERT_TRUE(parseRecurrenceRule(rule)) << rule;
    dense.push_back(observance(wall(1970, 1, 1, 0, 0), 2, 5, parseRecurrenceRule(rule)));
  }

  std::vector<ZoneObservance> crowded;  // 2,000 yearly rules from 1600
  for (int i = 0; i < 2000; ++i) {
    RecurrenceRule rule;
    rule.frequency = Frequency::yearly;
    crowded.push_back(observance(wall(1600 + i % 400, 1 + i % 12, 1 + i % 28, 2, 0),
                                 1 + i % 2, 2 - i % 2, rule));
  }

  std::shared_ptr<const TimeZone> berlin = systemTimeZone("Europe/Berlin");
  struct Case {
    const char* name;
    std::vector<ZoneObservance> observances;
    std::uint64_t maxVisited;  // over all queries below
    std::shared_ptr<const TimeZone> sameAs;  // when the hostile part is ignored whole
  } const kCases[] = {{"minutely", everyMinute, 100, berlin},
                      {"dense", dense, 4000, berlin},
                      {"crowded", crowded, 1000 * 5, {}}};
  for (const Case& c : kCases) {
    std::shared_ptr<const TimeZone> zone = definedTimeZone(c.observances);
    ASSERT_TRUE(zone);
    EXPECT_EQ(definedZoneOccurrencesVisited(*zone), 0u) << c.name << ": built without expanding";
    for (int day = 0; day < 4 * 365; day += 5) {  // 2024 .. 2027: one span of cached years
      std::int64_t t = 1704067200 + day * 86400;
      std::int32_t offset = zone->offsetAt(t);
      if (c.sameAs) {
        EXPECT_EQ(offset, c.sameAs->offsetAt(t)) << c.name << show(t);
      } else {
        EXPECT_TRUE(offset == 3600 || offset == 7200) << c.name << show(t);
      }
      zone->toInstant(zone->toCivil(t));
    }
    EXPECT_LE(definedZoneOccurrencesVisited(*zone), c.maxVisited) << c.name;
    EXPECT_GT(definedZoneOccurrencesVisited(*zone), 0u) << c.name;
  }
}

}  // namespace
}  // namespace vandrelis::store
