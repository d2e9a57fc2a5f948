// Lookups in plain maps, counted so tests can tell which sources were asked.
#include "fake_tables.h"

#include <cstring>

namespace micdetector::testing {

std::optional<RunningApplication> FakeRunningApplications::applicationWithProcessIdentifier(
    std::int32_t pid) {
  ++lookups;
  const auto it = applications.find(pid);
  if (it == applications.end()) return std::nullopt;
  return it->second;
}

int FakeProcessPaths::pidPath(std::int32_t pid, char* buffer, std::uint32_t bufferSize) {
  ++queries;
  const auto it = paths.find(pid);
  if (it == paths.end() || it->second.size() + 1 > bufferSize) return 0;
  std::memcpy(buffer, it->second.c_str(), it->second.size() + 1);
  return static_cast<int>(it->second.size());
}

}  // namespace micdetector::testing
