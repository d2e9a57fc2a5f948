// The identity text of one event occurrence: "single", "date:yyyy-MM-dd" for all-day events,
// or "time:" and the occurrence's milliseconds since 1970.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "store/calendar_store.h"

namespace vandrelis {

std::string recurrenceId(const store::Event& event);

// The instant in milliseconds since 1970, rounded half away from zero; absent when it is not
// finite or the count does not fit a signed 64-bit integer.
std::optional<std::int64_t> roundedMilliseconds(store::Instant instant);

// The Gregorian day of the instant, "yyyy-MM-dd" in en_US_POSIX, in the given IANA zone or,
// when there is none or ICU does not know it, in the process's default zone. Absent when the
// instant is beyond what the calendar can hold.
std::optional<std::string> gregorianDay(store::Instant instant,
                                        const std::optional<std::string>& zone);

}  // namespace vandrelis
