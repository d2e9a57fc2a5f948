// An occurrence is named by its item identifier and the date it was scheduled for (its start
// when the store gives no occurrence date): a repeating event's occurrences share the identifier.
#include "store/span_query.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <utility>

namespace vandrelis::store {
namespace {

using OccurrenceKey = std::pair<std::string, std::uint64_t>;

std::optional<OccurrenceKey> occurrenceKey(const Event& event) {
  std::optional<Instant> date = event.occurrenceDate();
  if (!date) date = event.startDate();
  // Without a date there is nothing to tell two occurrences apart by: each is kept.
  if (!date) return std::nullopt;
  return OccurrenceKey{event.calendarItemIdentifier(), std::bit_cast<std::uint64_t>(*date)};
}

}  // namespace

EventList querySpans(Instant start, Instant end, Instant maxSpan,
                     const std::function<EventList(Instant, Instant)>& query) {
  if (!std::isfinite(start) || !std::isfinite(end) || !(maxSpan > 0) || end - start <= maxSpan) {
    return query(start, end);
  }
  EventList joined;
  std::set<OccurrenceKey> seen;
  for (Instant spanStart = start; spanStart < end;) {
    Instant spanEnd = end - spanStart > maxSpan ? spanStart + maxSpan : end;
    if (spanEnd <= spanStart) spanEnd = end;  // a span below the instants' precision
    for (std::shared_ptr<const Event>& event : query(spanStart, spanEnd)) {
      const std::optional<OccurrenceKey> key = event ? occurrenceKey(*event) : std::nullopt;
      if (key && !seen.insert(*key).second) continue;
      joined.push_back(std::move(event));
    }
    spanStart = spanEnd;
  }
  return joined;
}

}  // namespace vandrelis::store
