// Arithmetic the zone sources share: bounded instants, years of instants, transitions and
// fixed offsets.
#pragma once

#include <algorithm>
#include <cstdint>

#include "ical/time_zone.h"

namespace vandrelis::store::zone_math {

// Instants further out than about a billion years are answered as at this bound, so that the
// year arithmetic never overflows.
inline constexpr std::int64_t kInstantBound = std::int64_t{1} << 55;
// Zone offsets beyond this are no zone anyone lives in.
inline constexpr std::int64_t kMaxOffset = 2 * 86400;

inline std::int64_t clampInstant(std::int64_t seconds) {
  return std::clamp(seconds, -kInstantBound, kInstantBound);
}

inline std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// The proleptic Gregorian year of an instant, in 64 bits (CivilTime's year is an int).
inline std::int64_t yearOfSeconds(std::int64_t seconds) {
  std::int64_t z = floorDiv(seconds, 86400) + 719468;
  std::int64_t era = floorDiv(z, 146097);
  std::int64_t doe = z - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  return yoe + era * 400 + (mp >= 10 ? 1 : 0);
}

struct Transition {
  std::int64_t at = 0;  // seconds since the epoch
  std::int32_t before = 0;
  std::int32_t after = 0;
};

// The wall reading from which a transition's later offset applies: a gap's wall times and a
// fold's first pass both still belong to the earlier offset.
inline std::int64_t wallKey(const Transition& t) { return t.at + std::max(t.before, t.after); }

class FixedZone final : public TimeZone {
 public:
  explicit FixedZone(std::int32_t offset) : offset_(offset) {}
  std::int32_t offsetAt(std::int64_t) const override { return offset_; }
  std::int64_t toInstant(const CivilTime& wall) const override {
    return civilSeconds(wall) - offset_;
  }

 private:
  std::int32_t offset_;
};

}  // namespace vandrelis::store::zone_math
