// Each record is encoded as soon as it is converted and leaves through the document stream's
// buffer, so neither the records nor the document are ever held whole; the bytes are those
// of a SnapshotOutput through writeJson.
#include "snapshot.h"

#include <array>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "event_conversion.h"
#include "helper_error.h"
#include "iso_formatter.h"
#include "json_writer.h"
#include "permission.h"
#include "recurrence_id.h"
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

// The occurrences of one repeating event differ only in their instants, so the record of the
// first is kept as the stretches between the members that hold them (endsAt, recurrenceId,
// sourceEventId, startsAt) and each later one is written by filling those in: attendees and
// texts are converted and encoded once per event rather than once per occurrence.
class OccurrenceTemplates {
 public:
  enum class Result { written, skipped, unknown };

  // Appends the record of an occurrence whose event has a template; unknown when it has none.
  Result append(std::string& out, const store::Event& event, const void* key) {
    auto found = templates_.find(key);
    if (found == templates_.end()) return Result::unknown;
    // The reads the conversion makes, in its order, of what is not the same for every
    // occurrence: the status and the calendar were found usable for the first.
    const std::optional<store::Instant> start = event.startDate();
    if (!start) return Result::skipped;
    const std::optional<store::Instant> end = event.endDate();
    if (!end) return Result::skipped;
    const Template& t = found->second;
    const std::string recurrence = recurrenceId(event);
    out.append(t.stretch(0));
    isoFormatter().write(*end, instant_);
    appendJsonString(out, instant_);
    out.append(t.stretch(1));
    appendJsonString(out, recurrence);
    out.append(t.stretch(2));
    sourceEventId_.assign(t.itemIdentifier).push_back(':');
    sourceEventId_.append(recurrence);
    appendJsonString(out, sourceEventId_);
    out.append(t.stretch(3));
    isoFormatter().write(*start, instant_);
    appendJsonString(out, instant_);
    out.append(t.stretch(4));
    return Result::written;
  }

  // Keeps `encoded`, the record of `output`, as the template of the occurrences of `key`.
  void keep(const void* key, const EventOutput& output, const store::Event& event,
            std::string_view encoded) {
    // Only records long enough that converting them again costs more than keeping them (those
    // with attendees, mostly); and bounded, since a query of many repeating events must not
    // keep them all.
    if (encoded.size() < kShortest) return;
    if (bytes_ > kLimit) {
      templates_.clear();
      bytes_ = 0;
    }
    Template t;
    t.encoded = encoded;
    t.itemIdentifier = event.calendarItemIdentifier();
    // A key can only be found at the top level: inside string values every quote is escaped,
    // and no nested object has these keys. The value found must also be the one written.
    const std::array<std::pair<std::string_view, const std::string*>, 4> members = {{
        {",\"endsAt\":", &output.endsAt},
        {",\"recurrenceId\":", &output.recurrenceId},
        {",\"sourceEventId\":", &output.sourceEventId},
        {",\"startsAt\":", &output.startsAt},
    }};
    std::size_t from = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
      const auto& [member, value] = members[i];
      const std::size_t at = t.encoded.find(member, from);
      if (at == std::string::npos) return;
      value_.clear();
      appendJsonString(value_, *value);
      const std::size_t valueAt = at + member.size();
      if (t.encoded.compare(valueAt, value_.size(), value_) != 0) return;
      t.cuts[2 * i] = valueAt;
      t.cuts[2 * i + 1] = valueAt + value_.size();
      from = t.cuts[2 * i + 1];
    }
    bytes_ += t.encoded.size() + t.itemIdentifier.size() + 64;
    templates_.emplace(key, std::move(t));
  }

 private:
  static constexpr std::size_t kShortest = 1024;
  static constexpr std::size_t kLimit = 4u << 20;

  struct Template {
    std::string encoded;
    std::string itemIdentifier;
    std::array<std::size_t, 8> cuts{};  // where each varying value begins and ends

    std::string_view stretch(std::size_t i) const {
      const std::size_t from = i == 0 ? 0 : cuts[2 * i - 1];
      const std::size_t to = i == 4 ? encoded.size() : cuts[2 * i];
      return std::string_view(encoded).substr(from, to - from);
    }
  };

  std::unordered_map<const void*, Template> templates_;
  std::size_t bytes_ = 0;
  std::string sourceEventId_;
  std::string instant_;
  std::string value_;
};

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
  OccurrenceTemplates templates;
  store.visitEventsMatching(range.start, range.end, calendars, [&](const store::Event& event) {
    const std::size_t mark = document.size();
    if (!first) document.push_back(',');
    const void* key = event.hasRecurrenceRules() ? event.sharedPropertiesKey() : nullptr;
    OccurrenceTemplates::Result result = OccurrenceTemplates::Result::unknown;
    if (key != nullptr) result = templates.append(document, event, key);
    if (result == OccurrenceTemplates::Result::unknown) {
      std::optional<EventOutput> output = eventOutput(event);
      if (output) {
        const std::size_t recordAt = document.size();
        appendJson(document, *output);
        if (key != nullptr) {
          templates.keep(key, *output, event, std::string_view(document).substr(recordAt));
        }
        result = OccurrenceTemplates::Result::written;
      }
    }
    if (result != OccurrenceTemplates::Result::written) {
      document.resize(mark);
      return;
    }
    first = false;
    stream.flushIfFull();
  });
  document.append("]}");
  stream.finish();
}

}  // namespace vandrelis
