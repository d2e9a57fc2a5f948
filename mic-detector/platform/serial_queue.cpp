// The worker sleeps on a condition variable while the queue is empty: no polling.
#include "platform/serial_queue.h"

#include <future>

namespace micdetector {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), thread_([this] { loop(); }) {}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void SerialQueue::async(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(work));
  }
  wake_.notify_one();
}

void SerialQueue::drain() {
  std::promise<void> done;
  async([&done] { done.set_value(); });
  done.get_future().wait();
}

void SerialQueue::loop() {
  for (;;) {
    std::function<void()> work;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return closing_ || !items_.empty(); });
      if (items_.empty()) return;
      work = std::move(items_.front());
      items_.pop_front();
    }
    work();
  }
}

}  // namespace micdetector
