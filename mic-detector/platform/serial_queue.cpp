// The worker sleeps while nothing is due: no polling, and with a timed item waiting, exactly one
// wake-up when its time comes.
#include "platform/serial_queue.h"

#include <cerrno>
#include <ctime>
#include <future>

namespace micdetector {
namespace {

#if defined(__linux__)
timespec monotonicTimespec(SerialQueue::Clock::time_point when) {
  const auto since = when.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
  return {static_cast<std::time_t>(seconds.count()),
          static_cast<long>(std::chrono::nanoseconds(since - seconds).count())};
}
#endif

}  // namespace

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
#if defined(__linux__)
  sem_init(&wake_, 0, 0);
#endif
  thread_ = std::thread([this] { loop(); });
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wakeWorker();
  thread_.join();
#if defined(__linux__)
  sem_destroy(&wake_);
#endif
}

void SerialQueue::async(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(work));
  }
  wakeWorker();
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
  if (earliest && std::this_thread::get_id() != thread_.get_id()) wakeWorker();
}

void SerialQueue::drain() {
  std::promise<void> done;
  async([&done] { done.set_value(); });
  done.get_future().wait();
}

void SerialQueue::wakeWorker() {
#if defined(__linux__)
  sem_post(&wake_);
#else
  wake_.notify_one();
#endif
}

void SerialQueue::sleep(std::unique_lock<std::mutex>& lock,
                        const std::optional<Clock::time_point>& until) {
#if defined(__linux__)
  // A post made after the unlock is not lost: it is counted, and the wait returns at once.
  lock.unlock();
  if (until) {
    const timespec deadline = monotonicTimespec(*until);
    while (sem_clockwait(&wake_, CLOCK_MONOTONIC, &deadline) != 0 && errno == EINTR) {
    }
  } else {
    while (sem_wait(&wake_) != 0 && errno == EINTR) {
    }
  }
  lock.lock();
#else
  if (until) {
    wake_.wait_until(lock, *until);
  } else {
    wake_.wait(lock);
  }
#endif
}

void SerialQueue::loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    std::function<void()> work;
    if (!timed_.empty() && timed_.begin()->first <= Clock::now()) {
      work = std::move(timed_.begin()->second);
      timed_.erase(timed_.begin());
    } else if (!items_.empty()) {
      work = std::move(items_.front());
      items_.pop_front();
    } else if (closing_) {
      return;
    } else {
      sleep(lock, timed_.empty() ? std::nullopt : std::optional(timed_.begin()->first));
      continue;
    }
    lock.unlock();
    work();
    work = nullptr;  // what it holds goes before the lock is taken again
    lock.lock();
  }
}

}  // namespace micdetector
