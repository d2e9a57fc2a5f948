// A window query for stores that answer only a limited span per query: the window is cut into
// consecutive spans and their answers joined, each event occurrence once.
#pragma once

#include <functional>

#include "store/calendar_store.h"

namespace vandrelis::store {

// Asks `query` for consecutive spans of at most `maxSpan` seconds that together cover
// [start, end), in order, and joins the answers in that order. An occurrence that overlaps
// two spans is answered by both and kept where it first came. A window that fits in one span,
// or one that is empty, reversed or not finite, goes to `query` as one span, unchanged.
EventList querySpans(Instant start, Instant end, Instant maxSpan,
                     const std::function<EventList(Instant, Instant)>& query);

}  // namespace vandrelis::store
