// A calendar colour as GNOME's programs write it into an EDS source: any colour text GTK reads
// ("#62a0ea", "#6262a0a0eaea", "rgb(98,160,234)", "rgba(38%,63%,92%,0.5)", "cornflowerblue"),
// as its red, green and blue.
#pragma once

#include <optional>
#include <string_view>

#include "records/calendar_records.h"

namespace vandrelis::store {

// The colour's red, green and blue, each 0 to 1 (an alpha is read and dropped); none for any
// other text. Blanks around the text, and letter case, do not matter.
std::optional<CalendarColor> parseEdsColor(std::string_view text);

}  // namespace vandrelis::store
