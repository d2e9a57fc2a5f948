// A repeating timer whose handler runs on a serial queue: the first event at once, then one
// per interval. Events that come due while the handler runs or waits to run are merged into a
// single later run, never queued up one per interval.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

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
  struct Shared {
    std::function<void()> handler;
    std::atomic<bool> cancelled = false;
    std::atomic<bool> pending = false;  // a run is queued and has not started yet
  };
  void loop();

  SerialQueue& queue_;
  std::chrono::nanoseconds interval_;
  std::shared_ptr<Shared> shared_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
};

}  // namespace micdetector
