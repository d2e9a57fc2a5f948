// What the detector looks up about a capturing process in the process table (its application,
// its executable's path), kept from one poll to the next while the sound server shows the same
// process: a pid whose streams belong to the same server connections as before.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/process_paths.h"
#include "platform/running_applications.h"

namespace micdetector {

// A connection closes when its process ends or runs another program, so a reused pid or a new
// program shows as a change of connections and the process is looked up again. What the server
// cannot show, such as a process moved into another systemd unit or an edited desktop file, is
// looked up again once the kept answer is `maxAge` old.
class ProcessLookupCache {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kDefaultMaxAge{30};

  // An answer of pidPath for one buffer size.
  struct PathAnswer {
    std::uint32_t bufferSize = 0;
    int result = 0;
    std::string path;
  };
  struct Lookups {
    std::optional<std::optional<RunningApplication>> application;
    std::optional<PathAnswer> path;
  };

  explicit ProcessLookupCache(std::chrono::nanoseconds maxAge = kDefaultMaxAge,
                              std::function<Clock::time_point()> now = Clock::now);

  // The processes the audio layer shows now, each with the server connections its streams
  // belong to (in any order). What was kept for a process that is no longer shown, or whose
  // connections changed, is forgotten.
  void showProcesses(
      const std::unordered_map<std::int32_t, std::vector<std::uint32_t>>& connections);

  // Where the answers for a shown process are kept (empty once they are too old); null for a
  // pid the audio layer does not show, whose lookups are never kept.
  Lookups* lookups(std::int32_t pid);

 private:
  struct Entry {
    std::vector<std::uint32_t> connections;  // sorted
    Clock::time_point since;                 // when `lookups` started to fill
    Lookups lookups;
  };

  std::chrono::nanoseconds maxAge_;
  std::function<Clock::time_point()> now_;
  std::unordered_map<std::int32_t, Entry> entries_;
};

// Each answers from the cache where it keeps something for the pid, else asks `inner` (and the
// cache keeps the answer where it may).
std::unique_ptr<RunningApplications> cachedRunningApplications(
    std::unique_ptr<RunningApplications> inner, ProcessLookupCache& cache);
std::unique_ptr<ProcessPaths> cachedProcessPaths(std::unique_ptr<ProcessPaths> inner,
                                                 ProcessLookupCache& cache);

// The cache that the system's audio layer feeds and the system's lookups read.
ProcessLookupCache& systemProcessLookupCache();

}  // namespace micdetector
