// Entry of vandrelis-mic-detector: takes no arguments and reads nothing; polls the system's
// audio layer once a second until SIGTERM.
#include <chrono>

#include "detector_main.h"
#include "fd_write.h"
#include "platform/audio_layer.h"
#include "platform/process_paths.h"
#include "platform/running_applications.h"

// A test build polls faster, so that what a long run would do shows in seconds.
#ifdef MIC_DETECTOR_TEST_INTERVAL_MS
constexpr std::chrono::milliseconds kPollInterval{MIC_DETECTOR_TEST_INTERVAL_MS};
#else
constexpr std::chrono::seconds kPollInterval{1};
#endif

int main() {
  using namespace micdetector;
  // Before anything opens a descriptor: started with standard output or error closed, the
  // first pipe or socket would otherwise take its number and the log lines would go into it.
  openMissingStandardDescriptors();
  // Before anything can start a thread, so every thread inherits the blocked SIGTERM.
  VandrelisMicDetectorMain::prepareSignals();
  static const auto audio = makeSystemAudioLayer();
  static const auto applications = makeSystemRunningApplications();
  static const auto paths = makeSystemProcessPaths();
  VandrelisMicDetectorMain::main(DetectorPlatform{*audio, *applications, *paths, currentTimeMs},
                                 kPollInterval);
}
