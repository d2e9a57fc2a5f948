// Deadlines are kept on the steady clock at start + k * interval, so firing times do not
// drift; a late wake-up skips the deadlines it missed instead of firing for each of them.
#include "platform/repeating_timer.h"

namespace micdetector {

RepeatingTimer::RepeatingTimer(SerialQueue& queue, std::chrono::nanoseconds interval,
                               std::function<void()> handler)
    : queue_(queue), interval_(interval), shared_(std::make_shared<Shared>()) {
  shared_->handler = std::move(handler);
}

RepeatingTimer::~RepeatingTimer() {
  cancel();
  if (thread_.joinable()) thread_.join();
}

void RepeatingTimer::resume() {
  if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
}

void RepeatingTimer::cancel() {
  {
    std::lock_guard lock(mutex_);
    shared_->cancelled = true;
  }
  wake_.notify_all();
}

void RepeatingTimer::loop() {
  auto deadline = std::chrono::steady_clock::now();
  std::unique_lock lock(mutex_);
  while (!shared_->cancelled) {
    if (wake_.wait_until(lock, deadline, [this] { return shared_->cancelled.load(); })) break;
    if (!shared_->pending.exchange(true)) {
      queue_.async([shared = shared_] {
        shared->pending = false;
        if (!shared->cancelled) shared->handler();
      });
    }
    const auto now = std::chrono::steady_clock::now();
    deadline += interval_;
    if (deadline <= now) {
      const auto missed = (now - deadline) / interval_ + 1;
      deadline += missed * interval_;
    }
  }
}

}  // namespace micdetector
