// The waiting thread lives as long as the process: the detector ends the process from the
// handler, so the thread is detached rather than joined.
#include "platform/signal_source.h"

#include <pthread.h>
#include <signal.h>

namespace micdetector {

void blockSignalInThisThread(int signalNumber) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signalNumber);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalSource::SignalSource(int signalNumber, SerialQueue& queue, std::function<void()> handler)
    : signalNumber_(signalNumber), queue_(queue), handler_(std::move(handler)) {}

void SignalSource::resume() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signalNumber_);
    for (;;) {
      int received = 0;
      if (sigwait(&set, &received) == 0 && received == signalNumber_) queue_.async(handler_);
    }
  });
  thread_.detach();
}

}  // namespace micdetector
