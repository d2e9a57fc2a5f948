// Delivery of one signal to a handler on a serial queue. The signal must be blocked in every
// thread (blockSignalInThisThread before any thread starts): a thread of this source takes it
// with sigwait, so it is never lost and never runs a handler in signal context.
#pragma once

#include <functional>
#include <thread>

#include "platform/serial_queue.h"

namespace micdetector {

// Blocks the signal in the calling thread; threads started afterwards inherit the mask.
void blockSignalInThisThread(int signalNumber);

class SignalSource {
 public:
  SignalSource(int signalNumber, SerialQueue& queue, std::function<void()> handler);
  SignalSource(const SignalSource&) = delete;
  SignalSource& operator=(const SignalSource&) = delete;
  // Starts waiting; each arrival of the signal runs the handler once on the queue.
  void resume();

 private:
  int signalNumber_;
  SerialQueue& queue_;
  std::function<void()> handler_;
  std::thread thread_;
};

}  // namespace micdetector
