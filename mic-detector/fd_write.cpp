// Straight to the descriptor with no buffering of our own: the parent sees each line at once.
#include "fd_write.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

namespace micdetector {

int writeAll(int fd, std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      // A parent may hand us a non-blocking pipe; waiting beats cutting the line.
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd ready{fd, POLLOUT, 0};
        if (::poll(&ready, 1, -1) >= 0 || errno == EINTR) continue;
      }
      return errno;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return 0;
}

}  // namespace micdetector
