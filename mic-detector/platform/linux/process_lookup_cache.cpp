#include "platform/linux/process_lookup_cache.h"

#include <algorithm>
#include <cstring>

namespace micdetector {
namespace {

class CachedRunningApplications final : public RunningApplications {
 public:
  CachedRunningApplications(std::unique_ptr<RunningApplications> inner, ProcessLookupCache& cache)
      : inner_(std::move(inner)), cache_(cache) {}

  std::optional<RunningApplication> applicationWithProcessIdentifier(std::int32_t pid) override {
    ProcessLookupCache::Lookups* kept = cache_.lookups(pid);
    if (kept == nullptr) return inner_->applicationWithProcessIdentifier(pid);
    if (!kept->application) kept->application = inner_->applicationWithProcessIdentifier(pid);
    return *kept->application;
  }

 private:
  std::unique_ptr<RunningApplications> inner_;
  ProcessLookupCache& cache_;
};

class CachedProcessPaths final : public ProcessPaths {
 public:
  CachedProcessPaths(std::unique_ptr<ProcessPaths> inner, ProcessLookupCache& cache)
      : inner_(std::move(inner)), cache_(cache) {}

  int pidPath(std::int32_t pid, char* buffer, std::uint32_t bufferSize) override {
    ProcessLookupCache::Lookups* kept = cache_.lookups(pid);
    if (kept == nullptr || bufferSize == 0) return inner_->pidPath(pid, buffer, bufferSize);
    if (!kept->path || kept->path->bufferSize != bufferSize) {
      ProcessLookupCache::PathAnswer answer{bufferSize, inner_->pidPath(pid, buffer, bufferSize),
                                            {}};
      if (answer.result > 0) answer.path.assign(buffer, static_cast<std::size_t>(answer.result));
      kept->path = std::move(answer);
      return kept->path->result;
    }
    // Written as the lookup wrote it: the path and its zero byte, which fit since they did then.
    if (kept->path->result > 0) {
      std::memcpy(buffer, kept->path->path.data(), kept->path->path.size());
      buffer[kept->path->path.size()] = '\0';
    }
    return kept->path->result;
  }

 private:
  std::unique_ptr<ProcessPaths> inner_;
  ProcessLookupCache& cache_;
};

}  // namespace

ProcessLookupCache::ProcessLookupCache(std::chrono::nanoseconds maxAge,
                                       std::function<Clock::time_point()> now)
    : maxAge_(maxAge), now_(std::move(now)) {}

void ProcessLookupCache::showProcesses(
    const std::unordered_map<std::int32_t, std::vector<std::uint32_t>>& connections) {
  std::erase_if(entries_, [&](const auto& entry) { return !connections.contains(entry.first); });
  for (const auto& [pid, shown] : connections) {
    std::vector<std::uint32_t> sorted = shown;
    std::ranges::sort(sorted);
    const auto [kept, added] = entries_.try_emplace(pid);
    if (added || kept->second.connections != sorted) {
      kept->second = Entry{std::move(sorted), now_(), {}};
    }
  }
}

ProcessLookupCache::Lookups* ProcessLookupCache::lookups(std::int32_t pid) {
  const auto found = entries_.find(pid);
  if (found == entries_.end()) return nullptr;
  Entry& entry = found->second;
  const auto now = now_();
  if (now - entry.since >= maxAge_) {
    entry.lookups = {};
    entry.since = now;
  }
  return &entry.lookups;
}

std::unique_ptr<RunningApplications> cachedRunningApplications(
    std::unique_ptr<RunningApplications> inner, ProcessLookupCache& cache) {
  return std::make_unique<CachedRunningApplications>(std::move(inner), cache);
}

std::unique_ptr<ProcessPaths> cachedProcessPaths(std::unique_ptr<ProcessPaths> inner,
                                                 ProcessLookupCache& cache) {
  return std::make_unique<CachedProcessPaths>(std::move(inner), cache);
}

ProcessLookupCache& systemProcessLookupCache() {
  static ProcessLookupCache cache;
  return cache;
}

}  // namespace micdetector
