// SIGTERM is blocked in every thread and taken by a waiting thread, so a SIGTERM that arrives
// while the detector is still starting stays pending and is handled, never lost.
#include "detector_main.h"

#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "mic_detector.h"
#include "platform/serial_queue.h"
#include "platform/signal_source.h"

namespace micdetector {

void VandrelisMicDetectorMain::prepareSignals() { blockSignalInThisThread(SIGTERM); }

void VandrelisMicDetectorMain::main(const DetectorPlatform& platform) {
  auto detector = std::make_shared<MicDetector>(platform, SnapshotWriter());
  detector->start();

  // Process-lifetime objects: never destroyed, since the process ends with _exit.
  auto* signalQueue = new SerialQueue(std::string(kDetectorQueueLabel) + ".signals");
  auto* source = new SignalSource(SIGTERM, *signalQueue, [detector] {
    detector->stop();
    // _exit, not exit: the poll thread may still be inside code whose static objects exit
    // would destroy under it.
    ::_exit(0);
  });
  source->resume();

  for (;;) ::pause();
}

}  // namespace micdetector
