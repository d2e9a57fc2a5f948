// The executable path of a process, in the shape of the platform's pid-path call.
#pragma once

#include <cstdint>
#include <memory>

namespace micdetector {

// The size of buffer the detector passes, and so the longest path plus its zero byte.
constexpr std::uint32_t kProcessPathBufferSize = 1024;

class ProcessPaths {
 public:
  virtual ~ProcessPaths() = default;
  // Writes the absolute path of the process's executable, ended by a zero byte, into the
  // buffer and returns its length; returns 0 or less when there is no path or when the path
  // with its zero byte does not fit into `bufferSize` bytes.
  virtual int pidPath(std::int32_t pid, char* buffer, std::uint32_t bufferSize) = 0;
};

std::unique_ptr<ProcessPaths> makeSystemProcessPaths();

}  // namespace micdetector
