// Test helpers: temporary directories and files, capturing a file descriptor, and running
// programs as child processes.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace micdetector::testing {

// A temporary directory removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Creates the file and its missing parent directories.
void writeFile(const std::string& path, const std::string& contents);
void makeDirectories(const std::string& path);
std::string readFile(const std::string& path);

// Sends what is written on a descriptor to a temporary file while alive.
class FdCapture {
 public:
  explicit FdCapture(int fd);
  ~FdCapture();
  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;
  // Restores the descriptor and returns what was written.
  std::string finish();

 private:
  int fd_;
  int saved_ = -1;
  int file_ = -1;
  bool finished_ = false;
};

struct ProcessResult {
  int exitStatus = -1;  // exit code, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs a program to its end with standard input from /dev/null.
ProcessResult runProcess(const std::vector<std::string>& arguments);

// A child process that runs until it is destroyed (then killed and reaped).
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& arguments);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// True when the environment variable CI is set: facilities a test needs must then be there.
bool runningInCi();

}  // namespace micdetector::testing
