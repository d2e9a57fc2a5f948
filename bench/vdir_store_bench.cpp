// Times the vdir store on a tree: the query for a window, and the floor of reading and
// parsing every item with libical; can also list the occurrences of a window in UTC.
//
//   vdir_store_bench query ROOT START END [REPEATS]   median wall time of calendars + query
//   vdir_store_bench parse ROOT [REPEATS]             median wall time of read + parse only
//   vdir_store_bench expand ROOT START END [REPEATS]  median wall time of read + parse + expand
//                                                     of every item (the floor of a query)
//   vdir_store_bench list ROOT START END              one line per occurrence
// query and list use the occurrence index in $XDG_CACHE_HOME like the helper.
#include <libical/ical.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "store/ics_events.h"
#include "store/vdir_store.h"
#include "store/vdir_tree.h"

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

template <typename Work>
double medianSeconds(int repeats, Work work) {
  std::vector<double> times;
  for (int i = 0; i < repeats; ++i) {
    auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
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
    std::printf("query %s..%s: %zu events, median %.6f s over %d runs\n", argv[3], argv[4], count,
                seconds, repeats);
    return 0;
  }
  if (mode == "expand" && argc >= 5) {
    Instant start = parseInstant(argv[3]), end = parseInstant(argv[4]);
    int repeats = argc > 5 ? std::atoi(argv[5]) : 5;
    std::size_t occurrences = 0;
    double seconds = medianSeconds(repeats, [&] {
      occurrences = 0;
      VdirTree tree = readVdirTree(argv[2]);
      VdirEventList found;
      for (const auto& calendar : tree.calendars) {
        IcsItem item{calendar, {}, [](std::string_view) { return false; }};
        for (const std::string& name : listItems(calendar->directory())) {
          std::optional<std::string> text = readRegularFile(calendar->directory() / name, 1 << 26);
          if (!text) continue;
          item.itemIdentifier = calendar->identifier() + "/" + name;
          found.clear();
          appendIcsOccurrences(*text, item, start, end, found);
          occurrences += found.size();
        }
      }
    });
    std::printf("expand %s..%s: %zu occurrences, median %.6f s over %d runs\n", argv[3], argv[4],
                occurrences, seconds, repeats);
    return 0;
  }
  if (mode == "parse" && argc >= 3) {
    int repeats = argc > 3 ? std::atoi(argv[3]) : 5;
    std::size_t components = 0;
    double seconds = medianSeconds(repeats, [&] {
      components = 0;
      VdirTree tree = readVdirTree(argv[2]);
      for (const auto& calendar : tree.calendars) {
        for (const std::string& name : listItems(calendar->directory())) {
          std::optional<std::string> text = readRegularFile(calendar->directory() / name, 1 << 26);
          if (!text) continue;
          if (icalcomponent* root = icalparser_parse_string(text->c_str())) {
            components += static_cast<std::size_t>(
                icalcomponent_count_components(root, ICAL_VEVENT_COMPONENT));
            icalcomponent_free(root);
          }
        }
      }
    });
    std::printf("parse: %zu VEVENTs, median %.6f s over %d runs\n", components, seconds, repeats);
    return 0;
  }
  std::fprintf(stderr, "usage: %s query ROOT START END [REPEATS] | parse ROOT [REPEATS] | "
                       "expand ROOT START END [REPEATS] | list ROOT START END\n", argv[0]);
  return 2;
}
