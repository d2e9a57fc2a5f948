// A repeating timer whose handler runs on a serial queue: the first event at once, then one
// per interval. Events that come due while the handler runs or waits to run are merged into a
// single later run, never queued up one per interval.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "platform/serial_queue.h"

namespace micdetector {

class RepeatingTimer {
 public:
  RepeatingTimer(SerialQueue& queue, std::chrono::nanoseconds interval,
                 std::function<void()> handler);
  ~RepeatingTimer();  // cancels
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  void resume();
  // No handler run starts after this returns; one already running is not waited for.
  void cancel();

 private:
  // What the queued runs hold, so that they stay safe after the timer object is gone.
  struct Shared {
    SerialQueue* queue;
    std::chrono::nanoseconds interval;
    std::function<void()> handler;
    std::atomic<bool> cancelled = false;
    SerialQueue::Clock::time_point deadline;  // of the run queued last; touched on the queue only
  };
  static void fire(const std::shared_ptr<Shared>& shared);

  std::shared_ptr<Shared> shared_;
  bool resumed_ = false;
};

}  // namespace micdetector
