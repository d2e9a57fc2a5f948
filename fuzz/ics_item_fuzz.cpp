// One calendar item through the store as a snapshot reads it: every occurrence in a window of
// three days around a leap day, every property converted, and the JSON document checked. The
// window is short so that an item of a minute-by-minute rule stays quick under the sanitizers;
// the timed check of the hostile items reads a whole year.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "event_conversion.h"
#include "fuzz_support.h"
#include "iso_formatter.h"
#include "json_writer.h"
#include "ical/ics_events.h"
#include "store/vdir/vdir_tree.h"

using namespace vandrelis;

namespace {

constexpr std::size_t kConvertedLimit = 2000;

const store::IcsItem& item() {
  static const store::IcsItem made = [] {
    auto source = std::make_shared<const store::VdirSource>(
        "Work", 2, std::vector<std::string>{"me@example.com"});
    auto calendar = std::make_shared<const store::VdirCalendar>(
        "work/main", "Main", std::nullopt, source, true, "/nonexistent/work/main");
    return store::IcsItem{calendar, "work/main/item", [source](std::string_view address) {
                            return source->isOwnAddress(address);
                          }};
  }();
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const store::Instant start = *isoFormatter().date("2024-02-28T00:00:00.000Z");
  const store::Instant end = *isoFormatter().date("2024-03-02T00:00:00.000Z");
  store::VdirEventList events;
  store::ItemSpan span;
  if (!store::appendIcsOccurrences(text, item(), start, end, events, &span)) {
    FUZZ_CHECK(events.empty(), "events of a text that is not iCalendar");
    return 0;
  }
  SnapshotOutput snapshot;
  for (const auto& event : events) {
    const auto eventStart = event->startDate();
    const auto eventEnd = event->endDate();
    // An occurrence lies in the window and in the item's span.
    if (eventStart && eventEnd) {
      FUZZ_CHECK(*eventStart < end && (*eventEnd > start || *eventStart >= start),
                 isoFormatter().string(*eventStart));
      FUZZ_CHECK(*eventStart >= span.earliest && *eventEnd <= span.latest,
                 isoFormatter().string(*eventStart));
    }
    // Converting and writing the first occurrences exercises every path; all of a rule's
    // (up to the item's bound) would only slow the run down.
    if (snapshot.events.size() >= kConvertedLimit) continue;
    if (auto output = eventOutput(*event)) {
      FUZZ_CHECK(isoFormatter().date(output->startsAt).has_value(), output->startsAt);
      FUZZ_CHECK(isoFormatter().date(output->endsAt).has_value(), output->endsAt);
      snapshot.events.push_back(std::move(*output));
    }
  }
  const std::string document = encodeJson(snapshot);
  FUZZ_CHECK(fuzzsupport::isValidJson(document), document);
  return 0;
}
