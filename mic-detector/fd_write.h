// Whole writes to a file descriptor, so that no line is ever cut.
#pragma once

#include <chrono>
#include <string_view>

namespace micdetector {

// Writes every byte, retrying on EINTR and after short writes, and
// waiting on a non-blocking descriptor that is full. Returns 0, or the errno of the
// write that failed.
int writeAll(int fd, std::string_view bytes);

// Like writeAll, but starts a write only once the descriptor is ready and gives up with
// ETIMEDOUT when it is not by `deadline`. A line of up to PIPE_BUF bytes is then written whole
// or not at all, never cut.
int writeAllBefore(int fd, std::string_view bytes,
                   std::chrono::steady_clock::time_point deadline);

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no descriptor the
// process opens later (a library's wake-up pipe, a socket) is taken for standard output.
void openMissingStandardDescriptors();

}  // namespace micdetector
