// Tells which of a set of processes have ended: a pidfd held for each from when it joined the
// set, all of them checked with one poll(2), so that a check costs one system call however many
// processes there are. Where a pidfd cannot be had, that process is checked with kill(pid, 0).
#pragma once

#include <poll.h>

#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace micdetector {

class ProcessEndWatch {
 public:
  ProcessEndWatch() = default;
  ~ProcessEndWatch();
  ProcessEndWatch(const ProcessEndWatch&) = delete;
  ProcessEndWatch& operator=(const ProcessEndWatch&) = delete;

  // The processes to watch from now on: those not watched yet are taken on, the others let go,
  // and a pid whose process had ended is taken on afresh (its pid may name a new process).
  void watch(const std::vector<std::int32_t>& pids);
  // Looks at every watched process once; what it finds holds until the next check.
  void check();
  // Whether the process had ended (exited, also when not yet reaped) at the last check. A pid
  // that is not watched has not ended.
  bool ended(std::int32_t pid) const { return ended_.contains(pid); }

 private:
  std::unordered_map<std::int32_t, int> pidfds_;  // -1 where kill(pid, 0) has to do
  std::unordered_set<std::int32_t> ended_;
  // What check() polls, kept from one check to the next to spare their allocations.
  std::vector<pollfd> fds_;
  std::vector<std::int32_t> polled_;
};

}  // namespace micdetector
