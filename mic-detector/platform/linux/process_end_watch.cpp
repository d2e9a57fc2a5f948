// A pidfd refers to one process, never to a later one that got the same pid, and it becomes
// readable when the process exits, which a zombie has done already though kill still finds it.
#include "platform/linux/process_end_watch.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace micdetector {
namespace {

// The sentinel of a process that had already gone when it was taken on.
constexpr int kGone = -2;

int openPidfd(std::int32_t pid) {
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) return static_cast<int>(fd);
  return errno == ESRCH ? kGone : -1;
}

// One that belongs to another user exists too.
bool killFindsProcess(std::int32_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

ProcessEndWatch::~ProcessEndWatch() {
  for (const auto& [pid, fd] : pidfds_) {
    if (fd >= 0) ::close(fd);
  }
}

void ProcessEndWatch::watch(const std::vector<std::int32_t>& pids) {
  const std::unordered_set<std::int32_t> wanted(pids.begin(), pids.end());
  std::erase_if(pidfds_, [&](const auto& entry) {
    if (wanted.contains(entry.first)) return false;
    if (entry.second >= 0) ::close(entry.second);
    ended_.erase(entry.first);
    return true;
  });
  for (const std::int32_t pid : wanted) {
    if (pid <= 0) continue;
    const auto [entry, added] = pidfds_.try_emplace(pid, -1);
    // A process seen ended may have had its pid given to a new one that the set means now.
    if (!added && !ended_.erase(pid)) continue;
    if (entry->second >= 0) ::close(entry->second);
    entry->second = openPidfd(pid);
  }
}

void ProcessEndWatch::check() {
  ended_.clear();
  fds_.clear();
  polled_.clear();
  for (const auto& [pid, fd] : pidfds_) {
    if (fd >= 0) {
      fds_.push_back({fd, POLLIN, 0});
      polled_.push_back(pid);
    } else if (fd == kGone || !killFindsProcess(pid)) {
      ended_.insert(pid);
    }
  }
  if (fds_.empty()) return;
  int ready = -1;
  do {
    ready = ::poll(fds_.data(), fds_.size(), 0);
  } while (ready < 0 && errno == EINTR);
  // A poll that fails says nothing: no process counts as ended.
  if (ready <= 0) return;
  for (std::size_t i = 0; i < fds_.size(); ++i) {
    if (fds_[i].revents != 0) ended_.insert(polled_[i]);
  }
}

}  // namespace micdetector
