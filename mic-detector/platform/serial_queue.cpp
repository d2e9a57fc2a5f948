// The worker sleeps while nothing is due: no polling, and with a timed item waiting, exactly one
// wake-up when its time comes.
#include "platform/serial_queue.h"

#include <cerrno>
#include <ctime>
#include <future>
#include <optional>

namespace micdetector {

namespace {

timespec monotonicTimespec(SerialQueue::Clock::time_point when) {
  const auto since = when.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
  return {static_cast<std::time_t>(seconds.count()),
          static_cast<long>(std::chrono::nanoseconds(since - seconds).count())};
}

}  // namespace

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
  sem_init(&wake_, 0, 0);
  thread_ = std::thread([this] { loop(); });
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  sem_post(&wake_);
  thread_.join();
  sem_destroy(&wake_);
}

void SerialQueue::async(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(work));
  }
  sem_post(&wake_);
}

void SerialQueue::asyncAt(Clock::time_point when, std::function<void()> work) {
  bool earliest = false;
  {
    std::lock_guard lock(mutex_);
    earliest = timed_.empty() || when < timed_.begin()->first;
    timed_.emplace(when, std::move(work));
  }
  // The worker only needs to hear of it when it now has to wake up earlier than planned; an
  // item submitted from the queue itself is seen when the worker next looks.
  if (earliest && std::this_thread::get_id() != thread_.get_id()) sem_post(&wake_);
}

void SerialQueue::drain() {
  std::promise<void> done;
  async([&done] { done.set_value(); });
  done.get_future().wait();
}

void SerialQueue::loop() {
  for (;;) {
    std::function<void()> work;
    std::optional<Clock::time_point> next;
    {
      std::lock_guard lock(mutex_);
      if (!timed_.empty() && timed_.begin()->first <= Clock::now()) {
        work = std::move(timed_.begin()->second);
        timed_.erase(timed_.begin());
      } else if (!items_.empty()) {
        work = std::move(items_.front());
        items_.pop_front();
      } else if (closing_) {
        return;
      } else if (!timed_.empty()) {
        next = timed_.begin()->first;
      }
    }
    if (work) {
      work();
      continue;
    }
    // A post made meanwhile is not lost: it is counted, and the wait returns at once.
    if (next) {
      const timespec until = monotonicTimespec(*next);
      while (sem_clockwait(&wake_, CLOCK_MONOTONIC, &until) != 0 && errno == EINTR) {
      }
    } else {
      while (sem_wait(&wake_) != 0 && errno == EINTR) {
      }
    }
  }
}

}  // namespace micdetector
