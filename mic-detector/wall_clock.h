// The wall clock in whole milliseconds since the Unix epoch, as the snapshot lines carry it.
#pragma once

#include <chrono>
#include <cstdint>

namespace micdetector {

using WallClock = std::uint64_t (*)();

// Truncated toward zero; a time before 1970 gives 0.
std::uint64_t millisecondsSinceEpoch(std::chrono::system_clock::time_point time);

std::uint64_t currentTimeMs();

}  // namespace micdetector
