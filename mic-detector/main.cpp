// Entry of vandrelis-mic-detector: takes no arguments and reads nothing; polls the system's
// audio layer once a second until SIGTERM.
#include "detector_main.h"
#include "platform/audio_layer.h"
#include "platform/process_paths.h"
#include "platform/running_applications.h"

int main() {
  using namespace micdetector;
  // Before anything can start a thread, so every thread inherits the blocked SIGTERM.
  VandrelisMicDetectorMain::prepareSignals();
  static const auto audio = makeSystemAudioLayer();
  static const auto applications = makeSystemRunningApplications();
  static const auto paths = makeSystemProcessPaths();
  VandrelisMicDetectorMain::main(DetectorPlatform{*audio, *applications, *paths, currentTimeMs});
}
