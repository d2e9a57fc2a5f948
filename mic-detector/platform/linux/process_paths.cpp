// The executable path of a process from the /proc/PID/exe link.
#include <unistd.h>

#include <string>

#include "platform/linux/process_lookup_cache.h"
#include "platform/process_paths.h"

namespace micdetector {
namespace {

class ProcProcessPaths final : public ProcessPaths {
 public:
  int pidPath(std::int32_t pid, char* buffer, std::uint32_t bufferSize) override {
    if (pid <= 0 || bufferSize == 0) return 0;
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t length = ::readlink(link.c_str(), buffer, bufferSize);
    // readlink writes no zero byte; a path that fills the buffer has no room for one, which
    // is the platform call's limit too.
    if (length <= 0 || static_cast<std::size_t>(length) >= bufferSize) return 0;
    buffer[length] = '\0';
    return static_cast<int>(length);
  }
};

}  // namespace

std::unique_ptr<ProcessPaths> makeSystemProcessPaths() {
  return cachedProcessPaths(std::make_unique<ProcProcessPaths>(), systemProcessLookupCache());
}

}  // namespace micdetector
