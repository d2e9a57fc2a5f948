// The list-calendars command: one CalendarOutput per event calendar of the store, in the
// store's order, with bounded titles, a web colour and the default-calendar flag.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "output_records.h"
#include "store/calendar_store.h"

namespace vandrelis {

// Titles and source titles are cut to this many user-perceived characters.
inline constexpr std::size_t kCalendarTitleLimit = 256;

// "#RRGGBB" from the first three components, each × 255 rounded half away from zero and not
// clamped (a component above 1 gives three or more digits). Absent when there is no colour,
// fewer than three components, or a component that is negative or whose value is not finite.
std::optional<std::string> colorText(const std::optional<store::CalendarColor>& color);

// "local", "exchange", "caldav", "icloud", "subscribed", "birthdays", or "unknown".
std::string sourceTypeWord(std::int64_t sourceType);

// `defaultIdentifier` is the identifier of the store's default calendar for new events, if
// it has one.
CalendarOutput calendarOutput(const store::Calendar& calendar,
                              const std::optional<std::string>& defaultIdentifier);

// Reads the default calendar, then the calendar list; no permission gate.
std::vector<CalendarOutput> calendarOutputs(const store::CalendarStore& store);

// The command: the permission gate, then one JSON array on standard output.
void listCalendars(const store::CalendarStore& store);

}  // namespace vandrelis
