// Cost per occurrence of the recurrence expander and of libical's icalrecur_iterator on the
// same rules, DTSTART and windows, in one run: each expansion starts afresh for its window, as
// a snapshot does.
//
//   recurrence_bench [REPEATS]
#include <libical/ical.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ical/recurrence_rule.h"

namespace {

using namespace vandrelis::store;
using Clock = std::chrono::steady_clock;

struct Rule {
  const char* name;
  const char* rule;
};

icaltimetype icalTime(const CivilTime& t) {
  icaltimetype out = icaltime_null_time();
  out.year = t.year;
  out.month = t.month;
  out.day = t.day;
  out.hour = t.hour;
  out.minute = t.minute;
  out.second = t.second;
  return out;
}

// Median of the runs, in nanoseconds per occurrence; the occurrence count goes to *count.
template <typename Expand>
double nanosecondsPerOccurrence(int repeats, long& count, Expand expand) {
  std::vector<double> perOccurrence;
  for (int i = 0; i < repeats; ++i) {
    auto begin = Clock::now();
    count = expand();
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - begin).count();
    perOccurrence.push_back(ns / static_cast<double>(std::max(count, 1L)));
  }
  std::sort(perOccurrence.begin(), perOccurrence.end());
  return perOccurrence[perOccurrence.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int repeats = argc > 1 ? std::atoi(argv[1]) : 200;
  const Rule rules[] = {
      {"daily", "FREQ=DAILY"},
      {"weekly BYDAY", "FREQ=WEEKLY;BYDAY=MO,WE,FR"},
      {"monthly BYDAY ordinal", "FREQ=MONTHLY;BYDAY=2TU"},
      {"monthly last weekday", "FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1"},
  };
  const CivilTime dtstart{2020, 1, 6, 9, 30, 0};
  struct Window {
    const char* name;
    CivilTime from, to;
  };
  const Window windows[] = {{"one year", {2024, 1, 1, 0, 0, 0}, {2025, 1, 1, 0, 0, 0}},
                            {"ten years", {2024, 1, 1, 0, 0, 0}, {2034, 1, 1, 0, 0, 0}}};
  std::printf("%-24s %-10s %8s %14s %14s\n", "rule", "window", "count", "ours ns/occ",
              "libical ns/occ");
  for (const Rule& rule : rules) {
    auto parsed = parseRecurrenceRule(rule.rule);
    icalrecurrencetype ical = icalrecurrencetype_from_string(rule.rule);
    if (!parsed || ical.freq == ICAL_NO_RECURRENCE) {
      std::fprintf(stderr, "not a rule: %s\n", rule.rule);
      return 1;
    }
    for (const Window& window : windows) {
      long ours = 0, theirs = 0;
      double oursNs = nanosecondsPerOccurrence(repeats, ours, [&] {
        long n = 0;
        expandRecurrence(*parsed, dtstart, {window.from, window.to, std::nullopt},
                         [&](const CivilTime&) { return ++n, true; });
        return n;
      });
      double theirsNs = nanosecondsPerOccurrence(repeats, theirs, [&] {
        long n = 0;
        icalrecur_iterator* it = icalrecur_iterator_new(ical, icalTime(dtstart));
        icaltimetype from = icalTime(window.from), to = icalTime(window.to);
        icalrecur_iterator_set_start(it, from);
        for (icaltimetype t = icalrecur_iterator_next(it); !icaltime_is_null_time(t);
             t = icalrecur_iterator_next(it)) {
          if (icaltime_compare(t, to) >= 0) break;
          if (icaltime_compare(t, from) >= 0) ++n;
        }
        icalrecur_iterator_free(it);
        return n;
      });
      if (ours != theirs) {
        std::fprintf(stderr, "%s over %s: %ld occurrences here, %ld from libical\n", rule.name,
                     window.name, ours, theirs);
      }
      std::printf("%-24s %-10s %8ld %14.1f %14.1f\n", rule.name, window.name, ours, oursNs, theirsNs);
    }
  }
  return 0;
}
