// A thread's event loop, reduced to what the helper needs: park the thread until told to stop,
// or until nobody reads a given output any more. A parked thread waits without a time limit,
// so it uses no CPU. On Apple systems the loop is the thread's CFRunLoop.
#pragma once

#ifdef __APPLE__
#include <mutex>
#endif

namespace vandrelis {

class RunLoop {
 public:
  // The calling thread's loop, made on first use. Throws std::system_error when the loop's
  // wake-up descriptor cannot be made.
  static RunLoop& current();

  RunLoop();
  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // Blocks until stop() is called; a stop made before run() ends the next run() at once.
  void run();
  // As run(), but also ends as soon as `output` is a pipe or socket whose reader has closed
  // it. Returns false in that case, true after stop(). Other outputs (a regular file, a
  // terminal) never end the wait.
  bool runWhileRead(int output);
  // May be called from any thread.
  void stop();

 private:
#ifdef __APPLE__
  std::mutex mutex_;
  bool stopRequested_ = false;
  // The thread's CFRunLoop while run() is in it, and the source that stop() signals there.
  void* platformLoop_ = nullptr;
  void* stopSource_ = nullptr;
#else
  int wakeFd_ = -1;
#endif
};

}  // namespace vandrelis
