// A thread's event loop, reduced to what the helper needs: park the thread until told to stop.
// The wait has no time limit, so a parked thread uses no CPU.
#pragma once

#include <condition_variable>
#include <mutex>

namespace vandrelis {

class RunLoop {
 public:
  // The calling thread's loop, made on first use.
  static RunLoop& current();

  // Blocks until stop() is called; a stop made before run() ends the next run() at once.
  void run();
  // May be called from any thread.
  void stop();

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopRequested_ = false;
#ifdef __APPLE__
  // The thread's CFRunLoop while run() is in it, and the source that stop() signals there.
  void* platformLoop_ = nullptr;
  void* stopSource_ = nullptr;
#endif
};

}  // namespace vandrelis
