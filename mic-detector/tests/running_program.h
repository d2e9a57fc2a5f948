// A program running as a child process whose output lines are collected, each with the time
// it arrived, while the test sends it signals and input.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace micdetector::testing {

struct TimedLine {
  std::chrono::steady_clock::time_point arrived;
  std::string text;  // without its line feed
};

class RunningProgram {
 public:
  explicit RunningProgram(const std::vector<std::string>& arguments);
  ~RunningProgram();  // kills and reaps the child if it is still running
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int signalNumber) const;
  void writeInput(const std::string& bytes) const;

  // Wait until at least n whole lines arrived on the channel (or the timeout passed); return
  // whether they did.
  bool waitForOutLines(std::size_t n, std::chrono::milliseconds timeout);
  bool waitForErrLines(std::size_t n, std::chrono::milliseconds timeout);
  // Waits for the child to end; returns its exit code, or 128 + signal, or -1 on timeout.
  int waitForExit(std::chrono::milliseconds timeout);

  std::vector<TimedLine> outLines();
  std::vector<TimedLine> errLines();
  // Bytes after the last line feed (a cut line), available after the child ended.
  std::string outTail();

 private:
  struct Channel {
    std::vector<TimedLine> lines;
    std::string partial;
    bool closed = false;
  };
  void readChannel(int fd, Channel& channel);
  bool waitForLines(Channel& channel, std::size_t n, std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int inFd_ = -1;
  int exitStatus_ = -1;
  bool reaped_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  Channel out_, err_;
  std::thread outReader_, errReader_;
};

}  // namespace micdetector::testing
