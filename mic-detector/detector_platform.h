// The outside world a poll reads: the audio layer, the desktop's running applications, the
// executable paths of processes, and the wall clock.
#pragma once

#include "platform/audio_layer.h"
#include "platform/process_paths.h"
#include "platform/running_applications.h"
#include "wall_clock.h"

namespace micdetector {

// Borrows the implementations; whoever builds it keeps them alive for as long as it is used.
struct DetectorPlatform {
  AudioLayer& audio;
  RunningApplications& runningApplications;
  ProcessPaths& processPaths;
  WallClock wallClock = currentTimeMs;
};

}  // namespace micdetector
