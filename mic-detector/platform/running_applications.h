// The running application that owns a process id, as the desktop knows it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace micdetector {

struct RunningApplication {
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> localizedName;
};

class RunningApplications {
 public:
  virtual ~RunningApplications() = default;
  virtual std::optional<RunningApplication> applicationWithProcessIdentifier(std::int32_t pid) = 0;
};

std::unique_ptr<RunningApplications> makeSystemRunningApplications();

}  // namespace micdetector
