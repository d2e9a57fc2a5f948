// SIGTERM is blocked in every thread and taken by a waiting thread, so a SIGTERM that arrives
// while the detector is still starting stays pending and is handled, never lost.
#include "detector_main.h"

#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "mic_detector.h"
#include "platform/main_thread.h"
#include "platform/serial_queue.h"
#include "platform/signal_source.h"

namespace micdetector {

void VandrelisMicDetectorMain::prepareSignals() { blockSignalInThisThread(SIGTERM); }

void VandrelisMicDetectorMain::main(const DetectorPlatform& platform,
                                    std::chrono::nanoseconds interval) {
  auto detector = std::make_shared<MicDetector>(platform, SnapshotWriter(), interval);
  detector->prepare();

  // Process-lifetime objects: never destroyed, since the process ends with _exit.
  auto* signalQueue = new SerialQueue(std::string(kDetectorQueueLabel) + ".signals");
  auto* source = new SignalSource(SIGTERM, *signalQueue, [detector] {
    detector->stop();
    // _exit, not exit: the poll thread may still be inside code whose static objects exit
    // would destroy under it.
    ::_exit(0);
  });
  source->resume();
  // After the signal source: the "started" line may block on a standard error nobody reads,
  // and a SIGTERM must still end the process then.
  detector->start();

  parkMainThread();
}

}  // namespace micdetector
