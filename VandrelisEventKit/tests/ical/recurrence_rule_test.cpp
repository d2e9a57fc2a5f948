#include "ical/recurrence_rule.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace vandrelis::store {
namespace {

CivilTime at(const char* text) {
  CivilTime t;
  std::sscanf(text, "%4d%2d%2dT%2d%2d%2d", &t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second);
  return t;
}

std::string text(const CivilTime& t) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02dT%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return buffer;
}

struct Expansion {
  std::vector<std::string> starts;
  bool complete = true;
};

// Expands a rule text the way the store does: UNTIL taken as wall time.
Expansion expand(const std::string& rule, const char* dtstart, const char* from, const char* to,
                 std::size_t limit = 1000000) {
  auto parsed = parseRecurrenceRule(rule);
  EXPECT_TRUE(parsed) << rule;
  Expansion out;
  if (!parsed) return out;
  ExpansionRange range{at(from), at(to), std::nullopt};
  if (parsed->until) range.until = parsed->until->time;
  out.complete = expandRecurrence(*parsed, at(dtstart), range, [&](const CivilTime& t) {
    out.starts.push_back(text(t));
    return out.starts.size() < limit;
  });
  return out;
}

TEST(RecurrenceRuleTest, ParsesEveryPartAndRefusesWhatItCannotFollow) {
  auto rule = parseRecurrenceRule(
      "freq=Monthly;INTERVAL=2;COUNT=10;BYSECOND=0,60;BYMINUTE=5;BYHOUR=23;BYDAY=-1FR,+2mo,TU;"
      "BYMONTHDAY=-31,31;BYYEARDAY=-366;BYWEEKNO=53;BYMONTH=12;BYSETPOS=-366,1;WKST=su;"
      "RSCALE=GREGORIAN;");
  ASSERT_TRUE(rule);
  EXPECT_EQ(rule->frequency, Frequency::monthly);
  EXPECT_EQ(rule->interval, 2);
  EXPECT_EQ(rule->count, 10);
  EXPECT_EQ(rule->bySecond, (std::vector<int>{0, 60}));
  EXPECT_EQ(rule->byDay, (std::vector<WeekdayNum>{{-1, 4}, {2, 0}, {0, 1}}));
  EXPECT_EQ(rule->byMonthDay, (std::vector<int>{-31, 31}));
  EXPECT_EQ(rule->bySetPos, (std::vector<int>{-366, 1}));
  EXPECT_EQ(rule->weekStart, 6);

  struct UntilCase {
    const char* rule;
    CivilTime time;
    bool isDate, isUtc;
  };
  for (const auto& c : std::vector<UntilCase>{
           {"FREQ=DAILY;UNTIL=20240229", {2024, 2, 29, 0, 0, 0}, true, false},
           {"FREQ=DAILY;UNTIL=20240229T235959Z", {2024, 2, 29, 23, 59, 59}, false, true},
           {"FREQ=DAILY;UNTIL=20240229T120000", {2024, 2, 29, 12, 0, 0}, false, false},
           // A day past the month's end rolls over, as in every date the store reads.
           {"FREQ=DAILY;UNTIL=20240230", {2024, 3, 1, 0, 0, 0}, true, false},
           {"FREQ=DAILY;UNTIL=20230231T120000Z", {2023, 3, 3, 12, 0, 0}, false, true}}) {
    auto parsed = parseRecurrenceRule(c.rule);
    ASSERT_TRUE(parsed && parsed->until) << c.rule;
    EXPECT_EQ(parsed->until->time, c.time) << c.rule;
    EXPECT_EQ(parsed->until->isDate, c.isDate) << c.rule;
    EXPECT_EQ(parsed->until->isUtc, c.isUtc) << c.rule;
  }

  for (const char* bad :
       {"", "INTERVAL=2", "FREQ=FORTNIGHTLY", "FREQ=DAILY;RSCALE=HEBREW", "FREQ=DAILY;INTERVAL=0",
        "FREQ=DAILY;COUNT=0", "FREQ=DAILY;COUNT=x", "FREQ=DAILY;BYHOUR=24", "FREQ=DAILY;BYMINUTE=60",
        "FREQ=DAILY;BYSECOND=61", "FREQ=MONTHLY;BYMONTHDAY=0", "FREQ=MONTHLY;BYMONTHDAY=32",
        "FREQ=YEARLY;BYYEARDAY=367", "FREQ=YEARLY;BYWEEKNO=-54", "FREQ=YEARLY;BYMONTH=13",
        "FREQ=MONTHLY;BYDAY=0MO", "FREQ=MONTHLY;BYDAY=54MO", "FREQ=MONTHLY;BYDAY=MX",
        "FREQ=MONTHLY;BYSETPOS=0", "FREQ=DAILY;UNTIL=20241301", "FREQ=DAILY;UNTIL=20240132",
        "FREQ=DAILY;UNTIL=20240100", "FREQ=DAILY;UNTIL=20240101T2500",
        "FREQ=DAILY;WKST=XX", "FREQ=DAILY;FREQ=WEEKLY", "FREQ=DAILY;BYDAY=", "FREQ=DAILY;BYHOUR=1,,2",
        "FREQ=DAILY;FOO=1", "FREQ=DAILY;COUNT"}) {
    EXPECT_FALSE(parseRecurrenceRule(bad)) << bad;
  }
}

TEST(RecurrenceRuleTest, ExpandsTheShapesOfTheRule) {
  struct Case {
    const char* rule;
    const char* dtstart;
    const char* from;
    const char* to;
    std::vector<std::string> starts;
  };
  const std::vector<Case> cases = {
      // Weeks begin on WKST (Monday): the week of DTSTART holds the first Sunday.
      {"FREQ=WEEKLY;INTERVAL=2;BYDAY=SU", "20240103T090000", "20240101T000000", "20240210T000000",
       {"20240103T090000", "20240107T090000", "20240121T090000", "20240204T090000"}},
      {"FREQ=WEEKLY;INTERVAL=2;BYDAY=SU;WKST=SU", "20240103T090000", "20240101T000000",
       "20240210T000000", {"20240103T090000", "20240114T090000", "20240128T090000"}},
      // Week 1 of 2002 began on Monday 31 December 2001.
      {"FREQ=YEARLY;BYWEEKNO=1;BYDAY=MO,TU,WE,TH,FR", "20020101T090000", "20011201T000000",
       "20020201T000000", {"20020101T090000", "20020102T090000", "20020103T090000", "20020104T090000"}},
      // BYWEEKNO alone gives the whole week; BYMONTHDAY without BYMONTH every month.
      {"FREQ=YEARLY;BYWEEKNO=20", "19970512T090000", "19970501T000000", "19980101T000000",
       {"19970512T090000", "19970513T090000", "19970514T090000", "19970515T090000", "19970516T090000",
        "19970517T090000", "19970518T090000"}},
      {"FREQ=YEARLY;BYMONTHDAY=31", "20240131T080000", "20240101T000000", "20240601T000000",
       {"20240131T080000", "20240331T080000", "20240531T080000"}},
      // DTSTART counts for COUNT though the rule does not give it; BYDAY lists are a union.
      {"FREQ=MONTHLY;BYDAY=MO,1TU;COUNT=4", "20240103T100000", "20240101T000000", "20250101T000000",
       {"20240103T100000", "20240108T100000", "20240115T100000", "20240122T100000"}},
      // Last weekday of the month; the 30th of February is no date.
      {"FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1", "20240131T090000", "20240201T000000",
       "20240501T000000", {"20240229T090000", "20240329T090000", "20240430T090000"}},
      {"FREQ=MONTHLY;BYMONTHDAY=30,-1;COUNT=5", "20240130T070000", "20240101T000000",
       "20250101T000000",
       {"20240130T070000", "20240131T070000", "20240229T070000", "20240330T070000", "20240331T070000"}},
      // UNTIL is inclusive; a window after DTSTART still counts from it.
      {"FREQ=DAILY;UNTIL=20240105T090000", "20240101T090000", "20240103T000000", "20250101T000000",
       {"20240103T090000", "20240104T090000", "20240105T090000"}},
      {"FREQ=DAILY;INTERVAL=3;COUNT=5", "20240101T090000", "20240106T000000", "20250101T000000",
       {"20240107T090000", "20240110T090000", "20240113T090000"}},
      {"FREQ=HOURLY;INTERVAL=5;BYMINUTE=0,30;BYSETPOS=2;COUNT=3", "20240101T221500", "20240101T000000",
       "20250101T000000", {"20240101T221500", "20240101T223000", "20240102T033000"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(expand(c.rule, c.dtstart, c.from, c.to).starts, c.starts) << c.rule;
  }
}

// Rules far from their DTSTART, rules that never match and rules that count forever all end
// with the right starts (a walk from 1970 would not end within ctest's limit).
TEST(RecurrenceRuleTest, StartsAtTheRangeAndEndsOnRulesThatNeverMatch) {
  struct Case {
    const char* rule;
    const char* from;
    const char* to;
    long count;  // -1: not checked
    const char* first;
    bool complete;
  };
  const std::vector<Case> cases = {
      {"FREQ=MINUTELY;BYHOUR=9", "20240101T000000", "20240108T000000", 420, "20240101T090000", true},
      {"FREQ=SECONDLY;BYHOUR=9;BYMINUTE=0,59", "20240101T000000", "20240103T000000", 240,
       "20240101T090000", true},
      {"FREQ=SECONDLY;BYMONTH=2;BYMONTHDAY=30", "20240101T000000", "99990101T000000", 0, "", true},
      {"FREQ=SECONDLY;BYMONTH=2;BYMONTHDAY=30;COUNT=5", "20240101T000000", "99990101T000000", 0, "",
       true},
      {"FREQ=HOURLY;INTERVAL=2;BYHOUR=1;COUNT=5", "20240101T000000", "99990101T000000", 0, "", true},
      {"FREQ=MINUTELY;COUNT=1099511627776", "20240101T000000", "20240101T010000", 60,
       "20240101T000000", true},
      {"FREQ=WEEKLY;BYDAY=MO,FR;COUNT=1099511627776", "20240101T000000", "20240108T000000", 2,
       "20240101T000000", true},
      {"FREQ=MONTHLY;BYMONTHDAY=31;COUNT=1099511627776", "90000101T000000", "90000301T000000", 1,
       "90000131T000000", true},
      // The grid of every 14th second never meets second 1, nor does one of 48 hours hour 5.
      {"FREQ=SECONDLY;INTERVAL=14;BYSECOND=1", "20240101T000000", "99990101T000000", 0, "", true},
      {"FREQ=HOURLY;INTERVAL=48;BYHOUR=5", "20240101T000000", "99990101T000000", 0, "", true},
      {"FREQ=DAILY;INTERVAL=7;BYDAY=MO", "20240101T000000", "99990101T000000", 0, "", true},
      {"FREQ=MONTHLY;BYMONTHDAY=1;BYSETPOS=2;COUNT=4", "20240101T000000", "99990101T000000", 0, "", true},
      // Matches, rarely, for thousands of years: the safety bound ends it.
      {"FREQ=SECONDLY;INTERVAL=4097;BYSECOND=1", "20240101T000000", "99990101T000000", -1, "", false},
  };
  for (const auto& c : cases) {
    Expansion got = expand(c.rule, "19700101T000000", c.from, c.to);
    if (c.count >= 0) {
      EXPECT_EQ(static_cast<long>(got.starts.size()), c.count) << c.rule;
    }
    if (c.count > 0) {
      EXPECT_EQ(got.starts.front(), c.first) << c.rule;
    }
    EXPECT_EQ(got.complete, c.complete) << c.rule;
  }
}

}  // namespace
}  // namespace vandrelis::store
