// Cost of one conversion through each kind of zone: a system zone within its table and beyond
// it (the file's closing rule), a TZ rule string, and a zone a calendar file defines.
#include <stdlib.h>

#include <benchmark/benchmark.h>

#include "recurrence_id.h"
#include "ical/time_zone.h"

namespace {

using namespace vandrelis::store;

// Walls and instants spread over a year, so that searches do not always land alike.
constexpr std::int64_t k2024 = 1704067200;
constexpr std::int64_t kStep = 86400 * 3 + 3607;

std::shared_ptr<const TimeZone> zoneNamed(const std::string& name) {
  if (name == "posix") {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    return localTimeZone();
  }
  if (name == "defined") {
    RecurrenceRule march, october;
    march.frequency = october.frequency = Frequency::yearly;
    march.byMonth = {3};
    october.byMonth = {10};
    march.byDay = october.byDay = {{-1, 6}};
    return definedTimeZone({{{1996, 10, 27, 3, 0, 0}, 7200, 3600, october, {}},
                            {{1981, 3, 29, 2, 0, 0}, 3600, 7200, march, {}}});
  }
  return systemTimeZone(name);
}

void offsetAt(benchmark::State& state, const std::string& name, int years) {
  auto zone = zoneNamed(name);
  std::int64_t t = k2024 + years * 31556952LL;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zone->offsetAt(t));
    t += kStep;
    if (t > k2024 + (years + 1) * 31556952LL) t = k2024 + years * 31556952LL;
  }
}

void toInstant(benchmark::State& state, const std::string& name, int years) {
  auto zone = zoneNamed(name);
  std::int64_t base = k2024 + years * 31556952LL, t = base;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zone->toInstant(civilFromSeconds(t)));
    t += kStep;
    if (t > base + 31556952LL) t = base;
  }
}

// A zone defined afresh and asked once, as when every file brings its own definition; the
// argument is the number of yearly observances from 1600 it holds besides its two rules.
void definedFirstQuery(benchmark::State& state) {
  for (auto _ : state) {
    RecurrenceRule march, october, every;
    march.frequency = october.frequency = every.frequency = Frequency::yearly;
    march.byMonth = {3};
    october.byMonth = {10};
    march.byDay = october.byDay = {{-1, 6}};
    std::vector<ZoneObservance> observances{{{1996, 10, 27, 3, 0, 0}, 7200, 3600, october, {}},
                                            {{1981, 3, 29, 2, 0, 0}, 3600, 7200, march, {}}};
    for (int i = 0; i < state.range(0); ++i) {
      CivilTime start{1600 + i % 400, 1 + i % 12, 1 + i % 28, 2, 0, 0};
      observances.push_back({start, 3600, 7200, every, {}});
    }
    benchmark::DoNotOptimize(definedTimeZone(std::move(observances))->offsetAt(k2024));
  }
}

void gregorianDay(benchmark::State& state) {
  double t = k2024;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vandrelis::gregorianDay(t, std::string("America/Nuuk")));
    t += kStep;
  }
}

BENCHMARK_CAPTURE(offsetAt, berlin_2024, std::string("Europe/Berlin"), 0);
BENCHMARK_CAPTURE(offsetAt, berlin_2050_rule, std::string("Europe/Berlin"), 26);
BENCHMARK_CAPTURE(offsetAt, posix_2024, std::string("posix"), 0);
BENCHMARK_CAPTURE(offsetAt, defined_2024, std::string("defined"), 0);
BENCHMARK_CAPTURE(toInstant, berlin_2024, std::string("Europe/Berlin"), 0);
BENCHMARK_CAPTURE(toInstant, berlin_2050_rule, std::string("Europe/Berlin"), 26);
BENCHMARK_CAPTURE(toInstant, posix_2024, std::string("posix"), 0);
BENCHMARK_CAPTURE(toInstant, defined_2024, std::string("defined"), 0);
BENCHMARK(definedFirstQuery)->Arg(0)->Arg(2000);
BENCHMARK(gregorianDay);

}  // namespace

BENCHMARK_MAIN();
