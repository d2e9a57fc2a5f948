// Writes straight to the descriptor with no buffering of our own.
#include "fd_write.h"

#include <errno.h>
#include <unistd.h>

namespace vandrelis {

int writeAll(int fd, std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return 0;
}

}  // namespace vandrelis
