// The polling detector: a timer on its own serial queue runs one poll at once and then one per
// second, and writes each result as a snapshot line or logs why the poll failed.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "detector_platform.h"
#include "platform/repeating_timer.h"
#include "platform/serial_queue.h"
#include "snapshot_writer.h"

namespace micdetector {

inline constexpr const char* kDetectorQueueLabel = "com.vandrelis.mic-detector";

class MicDetector : public std::enable_shared_from_this<MicDetector> {
 public:
  MicDetector(DetectorPlatform platform, SnapshotWriter writer,
              std::chrono::nanoseconds interval = std::chrono::seconds(1));
  MicDetector(const MicDetector&) = delete;
  MicDetector& operator=(const MicDetector&) = delete;

  // Makes the detector queue and the timer, not yet running, so that stop() may be called from
  // another thread from then on. Called once, on a detector held by a shared_ptr: the tick holds
  // it only weakly.
  void prepare();

  // Logs the start and starts the timer (first tick at once); prepares first if not prepared.
  void start();

  // Cancels the timer so that no further tick starts, waits (for a bounded time) until a line
  // being written is whole, and logs the stop, or drops that line when standard error does not
  // take it within the same bound. From then on the detector writes nothing more,
  // so the caller can end the process.
  void stop();

  const SerialQueue* queue() const { return queue_.get(); }

 private:
  void tick();

  DetectorPlatform platform_;
  SnapshotWriter writer_;
  std::chrono::nanoseconds interval_;
  std::unique_ptr<SerialQueue> queue_;
  std::unique_ptr<RepeatingTimer> timer_;
  // Held while a tick writes its line or log line; stop() takes it and never gives it back.
  std::timed_mutex outputMutex_;
};

}  // namespace micdetector
