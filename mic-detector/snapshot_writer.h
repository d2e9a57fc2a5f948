// Stamps, encodes and writes one snapshot line: the document in one write, its line feed in a
// second, nothing ever cut.
#pragma once

#include <vector>

#include "json_encoder.h"
#include "snapshot_message.h"
#include "wall_clock.h"

namespace micdetector {

class SnapshotWriter {
 public:
  explicit SnapshotWriter(int fd = 1, WallClock clock = currentTimeMs) : fd_(fd), clock_(clock) {}

  // Adds exactly one complete line, or nothing when the line cannot be encoded (then logs why).
  // Takes the list by value so the poll's result moves in without a copy.
  void write(std::vector<MicActiveApp> apps);

 private:
  JsonEncoder encoder_;
  int fd_;
  WallClock clock_;
};

}  // namespace micdetector
