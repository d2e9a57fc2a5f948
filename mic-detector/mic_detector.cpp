// Polls run on the detector queue one at a time; a stop taken from another queue only has to
// wait for the output of a tick, never for a poll, which may be slow.
#include "mic_detector.h"

#include "active_input_apps.h"
#include "logger.h"

namespace micdetector {
namespace {

// How long the stop waits for a line that is being written: enough for any reader that is
// still reading, short enough that a parent that stopped reading cannot hold the stop up.
constexpr std::chrono::seconds kStopWaitForLine{2};

}  // namespace

MicDetector::MicDetector(DetectorPlatform platform, SnapshotWriter writer,
                         std::chrono::nanoseconds interval)
    : platform_(platform), writer_(std::move(writer)), interval_(interval) {}

void MicDetector::prepare() {
  queue_ = std::make_unique<SerialQueue>(kDetectorQueueLabel);
  std::weak_ptr<MicDetector> weak = weak_from_this();
  timer_ = std::make_unique<RepeatingTimer>(*queue_, interval_, [weak] {
    if (std::shared_ptr<MicDetector> detector = weak.lock()) detector->tick();
  });
}

void MicDetector::start() {
  if (!timer_) prepare();
  // A standard error that nobody reads may hold this line up; the stop does not wait for it.
  Logger::info("Microphone activity detector started");
  timer_->resume();
}

void MicDetector::tick() {
  auto apps = loadActiveInputApps(platform_);
  std::unique_lock output(outputMutex_);
  if (apps) {
    writer_.write(std::move(*apps));
  } else {
    Logger::error("Failed to load active input apps: " + apps.error().errorDescription());
  }
}

void MicDetector::stop() {
  if (timer_) timer_->cancel();
  // The timer object itself is left alone: its thread may be about to post a tick, which the
  // cancel already turns into nothing.
  const auto deadline = std::chrono::steady_clock::now() + kStopWaitForLine;
  // One deadline for both waits, so a reader that stopped reading holds the stop up no longer
  // than that in all.
  (void)outputMutex_.try_lock_until(deadline);
  Logger::infoBefore("Microphone activity detector stopped", deadline);
}

}  // namespace micdetector
