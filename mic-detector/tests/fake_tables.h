// Fake tables for tests: running applications and executable paths by process id.
#pragma once

#include <map>
#include <string>

#include "platform/process_paths.h"
#include "platform/running_applications.h"

namespace micdetector::testing {

class FakeRunningApplications final : public RunningApplications {
 public:
  std::optional<RunningApplication> applicationWithProcessIdentifier(std::int32_t pid) override;

  std::map<std::int32_t, RunningApplication> applications;
  int lookups = 0;
};

class FakeProcessPaths final : public ProcessPaths {
 public:
  // Keeps the platform call's limit: a path that does not fit with its zero byte gives none.
  int pidPath(std::int32_t pid, char* buffer, std::uint32_t bufferSize) override;

  std::map<std::int32_t, std::string> paths;
  int queries = 0;
};

}  // namespace micdetector::testing
