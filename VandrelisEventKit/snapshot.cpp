// Each record is encoded as soon as it is converted and leaves through the document stream's
// buffer, so neither the records nor the document are ever held whole; the bytes are those
// of a SnapshotOutput through writeJson.
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

void snapshot(const store::CalendarStore& store, const std::vector<std::string>& arguments,
              int fd) {
  requirePermission(store);
  const Window range = window(arguments);
  const store::CalendarList calendars = selectedCalendars(store, calendarKeys(arguments));

  // Nothing below can fail but a write: every reportable failure came before the first byte.
  DocumentStream stream(fd);
  std::string& document = stream.buffer();
  document.append("{\"events\":[");
  bool first = true;
  store.visitEventsMatching(range.start, range.end, calendars, [&](const store::Event& event) {
    std::optional<EventOutput> output = eventOutput(event);
    if (!output) return;
    if (!first) document.push_back(',');
    first = false;
    appendJson(document, *output);
    stream.flushIfFull();
  });
  document.append("]}");
  stream.finish();
}

}  // namespace vandrelis
