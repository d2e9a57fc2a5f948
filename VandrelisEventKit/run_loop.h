// A thread's event loop, reduced to what the helper needs: park the thread until told to stop,
// or until nobody reads a given output any more. A parked thread waits in poll(2) without a
// time limit, so it uses no CPU.
#pragma once

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
  int wakeFd_ = -1;
};

}  // namespace vandrelis
