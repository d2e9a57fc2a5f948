// Deadlines are kept on the steady clock at start + k * interval, so firing times do not
// drift; a late run skips the deadlines it missed instead of running once for each of them.
// Each run queues the next one on the same queue: no thread waits for the timer.
#include "platform/repeating_timer.h"

#include <utility>

namespace micdetector {

RepeatingTimer::RepeatingTimer(SerialQueue& queue, std::chrono::nanoseconds interval,
                               std::function<void()> handler)
    : shared_(std::make_shared<Shared>()) {
  shared_->queue = &queue;
  shared_->interval = interval;
  shared_->handler = std::move(handler);
}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::resume() {
  if (std::exchange(resumed_, true)) return;
  shared_->deadline = SerialQueue::Clock::now();
  shared_->queue->async([shared = shared_] { fire(shared); });
}

void RepeatingTimer::cancel() { shared_->cancelled = true; }

void RepeatingTimer::fire(const std::shared_ptr<Shared>& shared) {
  if (shared->cancelled) return;
  shared->handler();
  if (shared->cancelled) return;
  const auto now = SerialQueue::Clock::now();
  auto& deadline = shared->deadline;
  deadline += shared->interval;
  if (deadline <= now) {
    // Every deadline that passed while the handler ran comes to one run, at once; the one
    // after it keeps to the grid.
    deadline += (now - deadline) / shared->interval * shared->interval;
    shared->queue->async([shared] { fire(shared); });
    return;
  }
  shared->queue->asyncAt(deadline, [shared] { fire(shared); });
}

}  // namespace micdetector
