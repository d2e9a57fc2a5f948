// Nothing in the shipped program calls stop(): the process ends by a signal's default action.
#include "run_loop.h"

namespace vandrelis {

RunLoop& RunLoop::current() {
  thread_local RunLoop loop;
  return loop;
}

void RunLoop::run() {
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return stopRequested_; });
  stopRequested_ = false;
}

void RunLoop::stop() {
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  wake_.notify_all();
}

}  // namespace vandrelis
