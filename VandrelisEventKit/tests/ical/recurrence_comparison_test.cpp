// The expander against python-dateutil's rrule on rules generated from a fixed seed: every
// frequency and BY part, intervals, COUNT and UNTIL, windows far from DTSTART.
//
// Where dateutil departs from RFC 5545 the reference script or the generator keeps to the RFC:
// - dateutil does not give DTSTART when the rule does not match it, nor count it for COUNT;
//   the RFC makes DTSTART the first instance always (the script adds it and counts it).
// - dateutil intersects plain and numbered weekdays in one BYDAY (BYDAY=MO,1TU gives nothing);
//   the RFC's BYDAY is a list of days, each one selecting: such lists are not generated.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ical/recurrence_rule.h"
#include "test_support.h"

namespace vandrelis::store {
namespace {

std::string text(const CivilTime& t) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02dT%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return buffer;
}

struct Case {
  CivilTime dtstart;
  std::string rule;
  CivilTime from, to;
};

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : random_(seed) {}

  Case next() {
    Case c;
    int frequency = pick({7, 10, 12, 14, 20, 20, 17});
    static constexpr const char* kFrequencies[] = {"SECONDLY", "MINUTELY", "HOURLY", "DAILY",
                                                   "WEEKLY",   "MONTHLY",  "YEARLY"};
    bool yearly = frequency == 6, monthly = frequency == 5, subDaily = frequency < 3;
    c.dtstart.year = between(1995, 2030);
    c.dtstart.month = between(1, 12);
    c.dtstart.day = between(1, daysInMonth(c.dtstart.year, c.dtstart.month));
    c.dtstart.hour = between(0, 23);
    c.dtstart.minute = chance(50) ? 0 : between(0, 59);
    c.dtstart.second = chance(60) ? 0 : between(0, 59);
    int interval = chance(55) ? 1 : chance(75) ? between(2, 4) : between(5, subDaily ? 90 : 13);

    std::string rule = std::string(chance(10) ? "freq=" : "FREQ=") + kFrequencies[frequency];
    if (interval > 1 || chance(10)) rule += ";INTERVAL=" + std::to_string(interval);
    bool hasMonth = chance(yearly ? 40 : 20);
    if (hasMonth) rule += ";BYMONTH=" + list(1, 3, [&] { return between(1, 12); });
    if (chance(yearly || monthly ? 35 : 12)) {
      rule += ";BYMONTHDAY=" + list(1, 3, [&] { return chance(75) ? between(1, 31) : -between(1, 31); });
    }
    if (chance(yearly ? 20 : 4)) {
      rule += ";BYYEARDAY=" + list(1, 3, [&] { return chance(70) ? between(1, 366) : -between(1, 366); });
    }
    if (chance(yearly ? 25 : 3)) {
      rule += ";BYWEEKNO=" + list(1, 2, [&] { return chance(80) ? between(1, 53) : -between(1, 53); });
    }
    if (chance(45)) {
      static constexpr const char* kDays[] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
      bool numbered = (yearly || monthly) && chance(50);
      int most = yearly && !hasMonth ? 53 : 5;
      rule += ";BYDAY=";
      int n = between(1, 3);
      for (int i = 0; i < n; ++i) {
        if (i > 0) rule += ",";
        if (numbered) {
          int ordinal = chance(70) ? between(1, std::min(most, 5)) : between(1, most);
          rule += std::to_string(chance(70) ? ordinal : -ordinal);
        }
        rule += kDays[between(0, 6)];
      }
    }
    if (chance(subDaily ? 40 : 20)) rule += ";BYHOUR=" + list(1, 3, [&] { return between(0, 23); });
    if (chance(subDaily ? 35 : 15)) rule += ";BYMINUTE=" + list(1, 3, [&] { return between(0, 59); });
    if (chance(subDaily ? 30 : 10)) rule += ";BYSECOND=" + list(1, 3, [&] { return between(0, 59); });
    // Positions past a period's few instants leave a rule empty, which dateutil walks to its end.
    int position = subDaily ? 2 : 6;
    if (chance(18)) {
      rule += ";BYSETPOS=" + list(1, 2, [&] { return chance(60) ? between(1, position) : -between(1, position); });
    }
    if (chance(35)) {
      static constexpr const char* kDays[] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
      rule += std::string(";WKST=") + kDays[between(0, 6)];
    }

    // Periods are years, months, ... seconds; windows are placed a number of them away.
    static constexpr std::int64_t kPeriod[] = {1, 60, 3600, 86400, 7 * 86400, 30 * 86400, 365 * 86400};
    std::int64_t step = kPeriod[frequency] * interval;
    std::int64_t start = civilSeconds(c.dtstart);
    // Sub-daily rules with day filters move a day at a time in dateutil too, but test each
    // unit of the allowed hours: keep their windows within days of DTSTART.
    std::int64_t unit = subDaily && chance(50) ? 86400 : step;
    static constexpr std::int64_t kFarthestDay[] = {1, 4, 60};
    std::int64_t farthest = unit == 86400 && subDaily ? kFarthestDay[frequency] : chance(10) ? 3000 : 300;
    if (frequency == 6) farthest = std::min<std::int64_t>(farthest, 6000 / interval);
    std::int64_t offset = (between(-3, static_cast<int>(farthest))) * unit + between(-3600, 3600);
    std::int64_t length = between(1, 60) * unit + between(0, 3600);
    static constexpr std::int64_t kLongest[] = {3 * 3600, 2 * 86400, 20 * 86400};
    if (subDaily) length = std::min(length, kLongest[frequency]);
    c.from = civilFromSeconds(start + offset);
    c.to = civilFromSeconds(start + offset + length);
    int end = between(0, 99);
    if (end < 30) {
      rule += ";COUNT=" + std::to_string(between(1, 40));
    } else if (end < 55) {
      CivilTime until = civilFromSeconds(start + between(-2, 400) * unit + between(0, 86400));
      std::string written = text(until);
      int form = between(0, 2);
      rule += ";UNTIL=" + (form == 0 ? written.substr(0, 8) : form == 1 ? written : written + "Z");
    }
    c.rule = rule;
    return c;
  }

 private:
  int between(int low, int high) {
    return low + static_cast<int>(random_() % static_cast<std::uint64_t>(high - low + 1));
  }
  bool chance(int percent) { return between(0, 99) < percent; }
  int pick(std::initializer_list<int> weights) {
    int total = 0;
    for (int w : weights) total += w;
    int roll = between(0, total - 1), index = 0;
    for (int w : weights) {
      if (roll < w) return index;
      roll -= w;
      ++index;
    }
    return index - 1;
  }
  template <typename Value>
  std::string list(int fewest, int most, Value value) {
    std::string out;
    int n = between(fewest, most);
    for (int i = 0; i < n; ++i) out.append(i > 0 ? "," : "").append(std::to_string(value()));
    return out;
  }

  std::mt19937_64 random_;
};

std::string ourStarts(const Case& c) {
  auto rule = parseRecurrenceRule(c.rule);
  if (!rule) return "!not parsed";
  ExpansionRange range{c.from, c.to, std::nullopt};
  if (rule->until) range.until = rule->until->time;
  std::string out;
  bool complete = expandRecurrence(*rule, c.dtstart, range, [&](const CivilTime& t) {
    out.append(out.empty() ? "" : " ").append(text(t));
    return true;
  });
  return complete ? out : "!incomplete " + out;
}

TEST(RecurrenceComparisonTest, AgreesWithDateutilOnGeneratedRules) {
  const std::string python = "/usr/bin/python3";
  auto probe = testing::runProcess(python, {python, "-c", "import dateutil.rrule"});
  if (probe.exitStatus != 0) {
    if (std::getenv("CI") != nullptr) FAIL() << "python3-dateutil is missing";
    GTEST_SKIP() << "python3-dateutil is missing: " << probe.err;
  }
  // RECURRENCE_CASES and RECURRENCE_SEED change the rules, for longer runs by hand.
  const char* cases = std::getenv("RECURRENCE_CASES");
  const char* seed = std::getenv("RECURRENCE_SEED");
  const int kCases = cases ? std::atoi(cases) : 2500;
  Generator generator(seed ? std::strtoull(seed, nullptr, 10) : 20240103);
  std::vector<Case> generated;
  std::string input;
  for (int i = 0; i < kCases; ++i) {
    generated.push_back(generator.next());
    const Case& c = generated.back();
    input += text(c.dtstart) + " " + c.rule + " " + text(c.from) + " " + text(c.to) + "\n";
  }
  auto reference = testing::runProcess(
      python, {python, EVENTKIT_SOURCE_DIR "/VandrelisEventKit/tests/ical/rrule_reference.py"}, {}, input);
  ASSERT_EQ(reference.exitStatus, 0) << reference.err;
  std::istringstream lines(reference.out);
  std::string expected;
  int compared = 0, timeouts = 0, differing = 0;
  std::size_t occurrences = 0;
  for (const Case& c : generated) {
    ASSERT_TRUE(std::getline(lines, expected)) << "the reference stopped early";
    if (expected == "!timeout") {
      ++timeouts;
      continue;
    }
    std::string got = ourStarts(c);
    ++compared;
    occurrences += got.empty() ? 0 : static_cast<std::size_t>(std::count(got.begin(), got.end(), ' ') + 1);
    if (got != expected && ++differing <= 20) {
      std::size_t at = static_cast<std::size_t>(
          std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).first - got.begin());
      at = got.rfind(' ', at) == std::string::npos ? 0 : got.rfind(' ', at) + 1;
      ADD_FAILURE() << "DTSTART " << text(c.dtstart) << " RRULE " << c.rule << " window " << text(c.from)
                    << " - " << text(c.to) << "; from the first difference on:\n  ours:     "
                    << got.substr(at, 200) << "\n  dateutil: " << expected.substr(at, 200);
    }
  }
  EXPECT_EQ(differing, 0);
  EXPECT_LT(timeouts, kCases / 100) << "too many rules dateutil could not expand in time";
  std::fputs(reference.err.c_str(), stdout);
  std::printf("compared %d rules (%zu occurrences), %d skipped for dateutil's time\n", compared,
              occurrences, timeouts);
}

}  // namespace
}  // namespace vandrelis::store
