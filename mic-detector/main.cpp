// vandrelis-mic-detector: for now one poll of the system's audio layer, written as one snapshot
// line or logged as a failure.
#include "active_input_apps.h"
#include "logger.h"
#include "platform/audio_layer.h"
#include "platform/process_paths.h"
#include "platform/running_applications.h"
#include "snapshot_writer.h"

int main() {
  using namespace micdetector;
  const auto audio = makeSystemAudioLayer();
  const auto applications = makeSystemRunningApplications();
  const auto paths = makeSystemProcessPaths();
  const DetectorPlatform platform{*audio, *applications, *paths, currentTimeMs};
  SnapshotWriter writer;
  auto apps = loadActiveInputApps(platform);
  if (apps) {
    writer.write(std::move(*apps));
  } else {
    Logger::error("Failed to load active input apps: " + apps.error().errorDescription());
  }
  return 0;
}
