// The only writer of standard output; called from one queue, so its two writes stay together.
#include "snapshot_writer.h"

#include <exception>
#include <string>

#include "fd_write.h"
#include "logger.h"

namespace micdetector {

void SnapshotWriter::write(std::vector<MicActiveApp> apps) {
  // Stamped here, after the poll, so it is never earlier than the entries' detectedAtMs.
  SnapshotMessage message{"snapshot", clock_(), std::move(apps)};
  std::string_view document;
  try {
    document = encoder_.encode(message);
  } catch (const std::exception& failure) {
    // Every text is made valid while encoding, so running out of memory is the one way left.
    Logger::error(std::string("Failed to encode snapshot: ") + failure.what());
    return;
  }
  // A failed write is not reported: the parent that reads the lines is the only one who could
  // be told, and losing it ends the process through SIGPIPE.
  if (writeAll(fd_, document) == 0) (void)writeAll(fd_, "\n");
}

}  // namespace micdetector
