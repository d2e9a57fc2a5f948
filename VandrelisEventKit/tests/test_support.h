// Test support: running the frame in-process with its output captured, and running the built
// program as a child process.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/calendar_store.h"

namespace vandrelis::testing {

struct RunResult {
  int exitStatus = -1;  // exit code, or 128 + signal number when killed
  std::string out;
  std::string err;
};

// Runs the frame with `store` in this process, capturing file descriptors 1 and 2.
RunResult runInProcess(const std::vector<std::string>& arguments,
                       std::shared_ptr<store::CalendarStore> store);

// Captures what the calling thread's code writes on descriptors 1 and 2 while alive.
class OutputCapture {
 public:
  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;
  // Restores the descriptors and returns what was written.
  RunResult finish();

 private:
  int savedOut_ = -1, savedErr_ = -1;
  int outFile_ = -1, errFile_ = -1;
  bool finished_ = false;
};

// Spawns a program with the given arguments (argv[0] is the program), environment additions
// (an empty value removes the variable) and standard input, and waits for it. Unless the
// additions name DBUS_SESSION_BUS_ADDRESS, it points at no bus.
RunResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                     const std::map<std::string, std::string>& environment = {},
                     const std::string& input = "");

// pipe(2) with O_CLOEXEC and O_NONBLOCK, as given in `flags`, set on both ends afterwards
// (macOS has no pipe2). 0 on success, -1 with errno set on failure.
int openPipe(int fds[2], int flags);

// A temporary directory (in `parent`) removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string& parent = "/tmp");
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace vandrelis::testing
