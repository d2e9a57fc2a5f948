// One poll: the applications capturing audio input right now, with the input devices they use.
#pragma once

#include <expected>
#include <vector>

#include "detector_error.h"
#include "detector_platform.h"
#include "snapshot_message.h"

namespace micdetector {

// In the audio layer's order, one entry per capturing process that has an identity (no
// de-duplication). Fails when the process list, or any process's running-input flag or
// process id, cannot be read; a process whose object the layer calls bad (it ended during the
// poll) is left out instead.
std::expected<std::vector<MicActiveApp>, DetectorError> loadActiveInputApps(
    const DetectorPlatform& platform);

}  // namespace micdetector
