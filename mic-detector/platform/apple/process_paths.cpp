// The executable path of a process from libproc.
#include <libproc.h>

#include <cstring>

#include "platform/process_paths.h"

namespace micdetector {
namespace {

class LibprocProcessPaths final : public ProcessPaths {
 public:
  int pidPath(std::int32_t pid, char* buffer, std::uint32_t bufferSize) override {
    // The kernel (pid 0) has no executable file.
    if (pid <= 0 || bufferSize == 0) return 0;
    // Asked with the largest buffer libproc.h names, so the answer does not hang on how
    // proc_pidpath treats smaller ones; the path is handed on only when it fits the caller's
    // buffer with its zero byte.
    char path[PROC_PIDPATHINFO_MAXSIZE];
    const int length = ::proc_pidpath(pid, path, sizeof path);
    if (length <= 0 || static_cast<std::uint32_t>(length) >= bufferSize) return 0;
    std::memcpy(buffer, path, static_cast<std::size_t>(length));
    buffer[length] = '\0';
    return length;
  }
};

}  // namespace

std::unique_ptr<ProcessPaths> makeSystemProcessPaths() {
  return std::make_unique<LibprocProcessPaths>();
}

}  // namespace micdetector
