// Each record is encoded as soon as it is converted, so the document is the only copy of the
// snapshot held in memory; the bytes are those of a SnapshotOutput through writeJson.
#include "snapshot.h"

#include <optional>
#include <unordered_set>

#include "event_conversion.h"
#include "helper_error.h"
#include "iso_formatter.h"
#include "json_writer.h"
#include "permission.h"
#include "text.h"

namespace vandrelis {
namespace {

constexpr std::string_view kCalendarOption = "--calendar";

struct Window {
  store::Instant start;
  store::Instant end;
};

// Both texts are looked up before either is parsed, so a missing --end is reported even when
// the start text is not a date.
Window window(const std::vector<std::string>& arguments) {
  const std::string& startText = valueAfter("--start", arguments);
  const std::string& endText = valueAfter("--end", arguments);
  const auto invalid = [] { return HelperError::invalidArguments("Invalid snapshot window"); };
  std::optional<store::Instant> start = isoFormatter().date(startText);
  if (!start) throw invalid();
  std::optional<store::Instant> end = isoFormatter().date(endText);
  if (!end) throw invalid();
  if (!(*end > *start)) throw invalid();
  return {*start, *end};
}

// Every "--calendar" that has an argument after it contributes that argument, which is then
// itself tested as an option name. Keys are canonical so that equivalent spellings meet.
std::unordered_set<std::string> calendarKeys(const std::vector<std::string>& arguments) {
  std::unordered_set<std::string> keys;
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (canonicallyEqual(arguments[i], kCalendarOption))
      keys.insert(canonicalKey(arguments[i + 1]));
  }
  return keys;
}

store::CalendarList selectedCalendars(const store::CalendarStore& store,
                                      const std::unordered_set<std::string>& keys) {
  store::CalendarList selected;
  if (keys.empty()) return selected;  // no fall-back to every calendar
  for (std::shared_ptr<const store::Calendar>& calendar : store.calendarsForEvents()) {
    if (calendar && keys.contains(canonicalKey(calendar->calendarIdentifier()))) {
      selected.push_back(std::move(calendar));
    }
  }
  return selected;
}

}  // namespace

const std::string& valueAfter(std::string_view option, const std::vector<std::string>& arguments) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (!canonicallyEqual(arguments[i], option)) continue;
    if (i + 1 < arguments.size()) return arguments[i + 1];
    break;  // a later occurrence is never consulted
  }
  throw HelperError::invalidArguments("Missing " + std::string(option));
}

std::string snapshotDocument(const store::CalendarStore& store,
                             const std::vector<std::string>& arguments) {
  requirePermission(store);
  const Window range = window(arguments);
  const store::CalendarList calendars = selectedCalendars(store, calendarKeys(arguments));
  const store::EventList events = store.eventsMatching(range.start, range.end, calendars);

  std::string document = "{\"events\":[";
  bool first = true;
  for (const std::shared_ptr<const store::Event>& event : events) {
    if (!event) continue;
    std::optional<EventOutput> output = eventOutput(*event);
    if (!output) continue;
    if (!first) document.push_back(',');
    first = false;
    appendJson(document, *output);
  }
  document.append("]}");
  return document;
}

void snapshot(const store::CalendarStore& store, const std::vector<std::string>& arguments,
              int fd) {
  writeDocument(snapshotDocument(store, arguments), fd);
}

}  // namespace vandrelis
