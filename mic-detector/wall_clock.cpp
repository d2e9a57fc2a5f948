// Integer arithmetic on the clock's own ticks: exact, where a double of seconds would round.
#include "wall_clock.h"

namespace micdetector {

std::uint64_t millisecondsSinceEpoch(std::chrono::system_clock::time_point time) {
  // duration_cast truncates toward zero. The clock's 64-bit count cannot exceed the range.
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  return milliseconds < 0 ? 0 : static_cast<std::uint64_t>(milliseconds);
}

std::uint64_t currentTimeMs() { return millisecondsSinceEpoch(std::chrono::system_clock::now()); }

}  // namespace micdetector
