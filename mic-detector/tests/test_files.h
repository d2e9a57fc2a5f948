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

// pipe(2) with O_CLOEXEC and O_NONBLOCK, as given in `flags`, set on both ends afterwards
// (macOS has no pipe2). 0 on success, -1 with errno set on failure.
int openPipe(int fds[2], int flags);

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

// Runs a program to its end with standard input from /dev/null; `environment` ("NAME=value"
// entries) replaces this process's when given.
ProcessResult runProcess(const std::vector<std::string>& arguments,
                         const std::vector<std::string>* environment = nullptr);

// This process's environment with `changes` applied: "NAME=value" sets, a bare "NAME" unsets.
std::vector<std::string> environmentWith(const std::vector<std::string>& changes);

struct SpawnOptions {
  const std::vector<std::string>* environment = nullptr;  // this process's when null
  std::string outputPath;  // standard output goes to this file; inherited when empty
  std::string errorPath;   // the same for standard error
};

// A child process that runs until it is stopped or destroyed (then killed and reaped).
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& arguments,
                        const SpawnOptions& options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  pid_t pid() const { return pid_; }
  // Sends `signal` and waits for the end; gives the exit status as ProcessResult has it.
  int stop(int signal);

 private:
  pid_t pid_ = -1;
  int exitStatus_ = -1;
};

// True when the environment variable CI is set: facilities a test needs must then be there.
bool runningInCi();

}  // namespace micdetector::testing
