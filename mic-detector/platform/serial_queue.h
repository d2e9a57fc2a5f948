// A serial work queue: one thread of its own runs the submitted work items one at a time, in
// the order they were submitted.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace micdetector {

class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();  // runs what is queued, then joins the thread
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  void async(std::function<void()> work);
  // Waits until every item submitted before this call has run. Not to be called from the queue.
  void drain();

 private:
  void loop();

  std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> items_;
  bool closing_ = false;
  std::thread thread_;
};

}  // namespace micdetector
