// Times the vdir store on a tree: the query for a window, and the floor of reading and
// parsing every item with libical; can also list the occurrences of a window in UTC.
//
//   vdir_store_bench query ROOT START END [REPEATS]   median wall time of calendars + query
//   vdir_store_bench parse ROOT [REPEATS]             median wall time of read + parse only
//   vdir_store_bench expand ROOT START END [REPEATS]  median wall time of read + parse + expand
//                                                     of every item by the store's own pipeline
//   vdir_store_bench libical-expand ROOT START END [REPEATS]
//                                                     the same by libical alone: its parser and
//                                                     icalcomponent_foreach_recurrence
//   vdir_store_bench snapshot ROOT START END [REPEATS] median time of the snapshot command
//                                                     in-process without the index
//   vdir_store_bench list ROOT START END              one line per occurrence
//   vdir_store_bench rules ROOT START END             every RRULE's wall-time starts in the
//       window, by libical's iterator and by the store's expander: cost per occurrence
// query and list use the occurrence index in $XDG_CACHE_HOME like the helper.
#include <fcntl.h>
#include <libical/ical.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "snapshot.h"
#include "ical/ics_events.h"
#include "ical/recurrence_rule.h"
#include "store/vdir/vdir_store.h"
#include "store/vdir/vdir_tree.h"

namespace {

using vandrelis::store::Instant;

Instant parseInstant(const char* text) {
  struct tm fields {};
  if (strptime(text, "%Y-%m-%dT%H:%M:%SZ", &fields) == nullptr) {
    std::fprintf(stderr, "not an instant: %s\n", text);
    std::exit(2);
  }
  return static_cast<Instant>(timegm(&fields));
}

std::string utcText(Instant instant) {
  time_t seconds = static_cast<time_t>(instant);
  struct tm fields {};
  gmtime_r(&seconds, &fields);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &fields);
  return buffer;
}

double processCpuSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The median CPU time of the runs, beside the median wall time: on a busy machine the wall
// time also counts the time other processes ran.
double medianCpuSeconds = 0;

template <typename Work>
double medianSeconds(int repeats, Work work) {
  std::vector<double> times, cpu;
  for (int i = 0; i < repeats; ++i) {
    auto start = std::chrono::steady_clock::now();
    const double cpuStart = processCpuSeconds();
    work();
    cpu.push_back(processCpuSeconds() - cpuStart);
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  std::sort(cpu.begin(), cpu.end());
  medianCpuSeconds = cpu[cpu.size() / 2];
  return times[times.size() / 2];
}

// Calls visit(calendar, name, text) for every item of the tree that can be read.
template <typename Visit>
void forEachItem(const char* root, Visit visit) {
  using namespace vandrelis::store;
  VdirTree tree = readVdirTree(root);
  for (const auto& calendar : tree.calendars) {
    for (const std::string& name : listItems(calendar->directory())) {
      std::optional<std::string> text = readRegularFile(calendar->directory() / name, 1 << 26);
      if (text) visit(calendar, name, *text);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vandrelis::store;
  std::string mode = argc > 1 ? argv[1] : "";
  if ((mode == "query" || mode == "list") && argc >= 5) {
    VdirStore store(argv[2]);
    Instant start = parseInstant(argv[3]), end = parseInstant(argv[4]);
    if (mode == "list") {
      for (const auto& event : store.eventsMatching(start, end, store.calendarsForEvents())) {
        if (!event->startDate() || event->status() == 3) continue;
        std::printf("%s %s %s %s\n", utcText(*event->startDate()).c_str(),
                    utcText(*event->endDate()).c_str(), event->isAllDay() ? "allday" : "timed",
                    event->title().value_or("").c_str());
      }
      return 0;
    }
    int repeats = argc > 5 ? std::atoi(argv[5]) : 5;
    std::size_t count = 0;
    double seconds = medianSeconds(repeats, [&] {
      count = store.eventsMatching(start, end, store.calendarsForEvents()).size();
    });
    std::printf("query %s..%s: %zu events, median %.6f s (cpu %.6f s) over %d runs\n", argv[3],
                argv[4], count, seconds, medianCpuSeconds, repeats);
    return 0;
  }
  if (mode == "snapshot" && argc >= 5) {
    // The helper's snapshot command in-process, without the occurrence index (every file read,
    // as the floors read them), written to /dev/null: the floor plus the merge, conversion
    // and encoding, without the process start.
    VdirStore store(argv[2], {false, std::nullopt, 2.0});
    // "...:00Z" as the helper's "...:00.000Z"
    const auto withMilliseconds = [](std::string text) { return text.insert(text.size() - 1, ".000"); };
    std::vector<std::string> arguments = {"snapshot", "--start", withMilliseconds(argv[3]), "--end",
                                          withMilliseconds(argv[4])};
    for (const auto& calendar : store.calendarsForEvents()) {
      arguments.insert(arguments.end(), {"--calendar", calendar->calendarIdentifier()});
    }
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    int repeats = argc > 5 ? std::atoi(argv[5]) : 5;
    double seconds = medianSeconds(repeats, [&] { vandrelis::snapshot(store, arguments, devNull); });
    std::printf("snapshot %s..%s in-process, no index: median %.6f s (cpu %.6f s) over %d runs\n",
                argv[3], argv[4], seconds, medianCpuSeconds, repeats);
    return 0;
  }
  if (mode == "rules" && argc >= 5) {
    Instant start = parseInstant(argv[3]), end = parseInstant(argv[4]);
    // Rules and their DTSTARTs as libical reads them; zones are left out on both sides (the
    // window is taken as wall time), so only the expansion is compared.
    struct Series {
      icalrecurrencetype rule;
      icaltimetype dtstart;
      std::string text;
    };
    std::vector<Series> series;
    forEachItem(argv[2], [&](const auto&, const std::string&, const std::string& text) {
      icalcomponent* root = icalparser_parse_string(text.c_str());
      if (root == nullptr) return;
      for (icalcomponent* e = icalcomponent_get_first_component(root, ICAL_VEVENT_COMPONENT);
           e != nullptr; e = icalcomponent_get_next_component(root, ICAL_VEVENT_COMPONENT)) {
        icalproperty* rrule = icalcomponent_get_first_property(e, ICAL_RRULE_PROPERTY);
        icalproperty* dtstart = icalcomponent_get_first_property(e, ICAL_DTSTART_PROPERTY);
        if (rrule == nullptr || dtstart == nullptr) continue;
        icaltimetype t = icalproperty_get_dtstart(dtstart);
        t.zone = nullptr;
        const char* value = icalproperty_get_value_as_string(rrule);
        series.push_back({icalproperty_get_rrule(rrule), t, value != nullptr ? value : ""});
      }
      icalcomponent_free(root);
    });
    auto wall = [](Instant instant) {
      return icaltime_from_timet_with_zone(static_cast<time_t>(instant), 0, nullptr);
    };
    icaltimetype from = wall(start), to = wall(end);
    std::size_t libicalCount = 0, ownCount = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (const Series& s : series) {
      icalrecur_iterator* it = icalrecur_iterator_new(s.rule, s.dtstart);
      if (it == nullptr) continue;
      if (s.rule.count == 0 && icaltime_compare(from, s.dtstart) > 0) icalrecur_iterator_set_start(it, from);
      for (icaltimetype t = icalrecur_iterator_next(it); !icaltime_is_null_time(t);
           t = icalrecur_iterator_next(it)) {
        if (icaltime_compare(t, to) >= 0) break;
        if (icaltime_compare(t, from) >= 0) ++libicalCount;
      }
      icalrecur_iterator_free(it);
    }
    auto t1 = std::chrono::steady_clock::now();
    auto civil = [](const icaltimetype& t) {
      return CivilTime{t.year, t.month, t.day, t.is_date ? 0 : t.hour, t.is_date ? 0 : t.minute,
                       t.is_date ? 0 : t.second};
    };
    for (const Series& s : series) {
      std::optional<RecurrenceRule> rule = parseRecurrenceRule(s.text);
      if (!rule) continue;
      ExpansionRange range{civil(from), civil(to), std::nullopt};
      if (rule->until) range.until = rule->until->time;
      expandRecurrence(*rule, civil(s.dtstart), range, [&](const CivilTime&) {
        ++ownCount;
        return true;
      });
    }
    auto t2 = std::chrono::steady_clock::now();
    double libicalSeconds = std::chrono::duration<double>(t1 - t0).count();
    double ownSeconds = std::chrono::duration<double>(t2 - t1).count();
    std::printf("rules %zu: libical %zu occurrences %.3f s (%.0f ns each), own expander "
                "%zu occurrences %.3f s (%.0f ns each)\n",
                series.size(), libicalCount, libicalSeconds,
                libicalSeconds * 1e9 / static_cast<double>(std::max<std::size_t>(libicalCount, 1)), ownCount, ownSeconds,
                ownSeconds * 1e9 / static_cast<double>(std::max<std::size_t>(ownCount, 1)));
    return 0;
  }
  if (mode == "expand" && argc >= 5) {
    Instant start = parseInstant(argv[3]), end = parseInstant(argv[4]);
    int repeats = argc > 5 ? std::atoi(argv[5]) : 5;
    std::size_t occurrences = 0;
    double seconds = medianSeconds(repeats, [&] {
      occurrences = 0;
      VdirEventList found;
      forEachItem(argv[2], [&](const auto& calendar, const std::string& name, const std::string& text) {
        IcsItem item{calendar, calendar->identifier() + "/" + name, [](std::string_view) { return false; }};
        found.clear();
        appendIcsOccurrences(text, item, start, end, found);
        occurrences += found.size();
      });
    });
    std::printf("expand %s..%s: %zu occurrences, median %.6f s (cpu %.6f s) over %d runs\n",
                argv[3], argv[4], occurrences, seconds, medianCpuSeconds, repeats);
    return 0;
  }
  if (mode == "libical-expand" && argc >= 5) {
    const Instant start = parseInstant(argv[3]), end = parseInstant(argv[4]);
    icaltimezone* utc = icaltimezone_get_utc_timezone();
    const icaltimetype from = icaltime_from_timet_with_zone(static_cast<time_t>(start), 0, utc);
    const icaltimetype to = icaltime_from_timet_with_zone(static_cast<time_t>(end), 0, utc);
    int repeats = argc > 5 ? std::atoi(argv[5]) : 5;
    std::size_t occurrences = 0;
    double seconds = medianSeconds(repeats, [&] {
      occurrences = 0;
      forEachItem(argv[2], [&](const auto&, const std::string&, const std::string& text) {
        icalcomponent* root = icalparser_parse_string(text.c_str());
        if (root == nullptr) return;
        for (icalcomponent* e = icalcomponent_get_first_component(root, ICAL_VEVENT_COMPONENT);
             e != nullptr; e = icalcomponent_get_next_component(root, ICAL_VEVENT_COMPONENT)) {
          icalcomponent_foreach_recurrence(
              e, from, to,
              [](icalcomponent*, icaltime_span*, void* count) { ++*static_cast<std::size_t*>(count); },
              &occurrences);
        }
        icalcomponent_free(root);
      });
    });
    std::printf("libical-expand %s..%s: %zu occurrences, median %.6f s (cpu %.6f s) over %d runs\n",
                argv[3], argv[4], occurrences, seconds, medianCpuSeconds, repeats);
    return 0;
  }
  if (mode == "parse" && argc >= 3) {
    int repeats = argc > 3 ? std::atoi(argv[3]) : 5;
    std::size_t components = 0;
    double seconds = medianSeconds(repeats, [&] {
      components = 0;
      forEachItem(argv[2], [&](const auto&, const std::string&, const std::string& text) {
        if (icalcomponent* root = icalparser_parse_string(text.c_str())) {
          components += static_cast<std::size_t>(
              icalcomponent_count_components(root, ICAL_VEVENT_COMPONENT));
          icalcomponent_free(root);
        }
      });
    });
    std::printf("parse: %zu VEVENTs, median %.6f s (cpu %.6f s) over %d runs\n", components, seconds,
                medianCpuSeconds, repeats);
    return 0;
  }
  std::fprintf(stderr, "usage: %s query ROOT START END [REPEATS] | parse ROOT [REPEATS] | "
                       "expand ROOT START END [REPEATS] | libical-expand ROOT START END [REPEATS] | snapshot ROOT START END [REPEATS] | rules ROOT START END | list ROOT START END\n", argv[0]);
  return 2;
}
