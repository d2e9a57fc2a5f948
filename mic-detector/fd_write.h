// Whole writes to a file descriptor, so that no line is ever cut.
#pragma once

#include <string_view>

namespace micdetector {

// Writes every byte, retrying on EINTR and after short writes, and
// waiting on a non-blocking descriptor that is full. Returns 0, or the errno of the
// write that failed.
int writeAll(int fd, std::string_view bytes);

}  // namespace micdetector
