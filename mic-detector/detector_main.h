// The detector's process frame: builds the writer and the detector, starts polling, stops on
// SIGTERM with the "stopped" line and exit status 0, and otherwise keeps the main thread idle.
#pragma once

#include <chrono>

#include "detector_platform.h"

namespace micdetector {

class VandrelisMicDetectorMain {
 public:
  // Call prepareSignals() first, before any thread of the process starts.
  static void prepareSignals();
  // Never returns: the process ends from the SIGTERM handler.
  [[noreturn]] static void main(const DetectorPlatform& platform,
                                std::chrono::nanoseconds interval = std::chrono::seconds(1));
};

}  // namespace micdetector
