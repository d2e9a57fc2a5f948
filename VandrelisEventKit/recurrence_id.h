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

// The proleptic Gregorian day of the instant, "yyyy-MM-dd" (astronomical years of four or more
// digits, "-" before years below 0), in the given IANA zone of the system database or, when
// there is none or the database does not know it, in the process's zone (TZ). Absent when the
// instant is not finite or lies more than about 5.8 million years from 1970.
std::optional<std::string> gregorianDay(store::Instant instant,
                                        const std::optional<std::string>& zone);

}  // namespace vandrelis
