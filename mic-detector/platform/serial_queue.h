// A serial work queue: one thread of its own runs the submitted work items one at a time, in
// the order they were submitted. Items may also be given a time to run at, so that a timer
// needs no thread of its own.
#pragma once

#if defined(__linux__)
#include <semaphore.h>
#else
#include <condition_variable>
#endif

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace micdetector {

class SerialQueue {
 public:
  using Clock = std::chrono::steady_clock;

  explicit SerialQueue(std::string label);
  // Runs what is queued, then joins the thread; items whose time has not come are dropped.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  void async(std::function<void()> work);
  // Runs `work` once `when` has come; items for the same time run in the order submitted.
  void asyncAt(Clock::time_point when, std::function<void()> work);
  // Waits until every item submitted before this call has run. Not to be called from the queue.
  void drain();

 private:
  void loop();
  void wakeWorker();
  // Sleeps until woken or until `until` (when given); the lock is held again on return.
  void sleep(std::unique_lock<std::mutex>& lock, const std::optional<Clock::time_point>& until);

  std::string label_;
  std::mutex mutex_;  // guards the items and closing_
#if defined(__linux__)
  // Posted whenever the worker may have something new to do. The worker sleeps on it rather
  // than on a condition variable, whose wake-up in glibc takes the mutex back as if contended
  // and so costs a further system call on every tick.
  sem_t wake_;
#else
  std::condition_variable wake_;
#endif
  std::deque<std::function<void()>> items_;
  std::multimap<Clock::time_point, std::function<void()>> timed_;
  bool closing_ = false;
  std::thread thread_;
};

}  // namespace micdetector
