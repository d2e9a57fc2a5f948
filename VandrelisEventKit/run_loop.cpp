// Nothing in the shipped program calls stop(): the process ends by a signal's default action.
#include "run_loop.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>

#include <sys/eventfd.h>
#include <sys/stat.h>

namespace vandrelis {

RunLoop& RunLoop::current() {
  thread_local RunLoop loop;
  return loop;
}

RunLoop::RunLoop() {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category());
}

RunLoop::~RunLoop() { ::close(wakeFd_); }

void RunLoop::run() { runWhileRead(-1); }

bool RunLoop::runWhileRead(int output) {
  struct stat info;
  bool watchReader = output >= 0 && ::fstat(output, &info) == 0 &&
                     (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
  // Asking for no event still reports POLLERR (a pipe without reader) and POLLHUP (a socket
  // whose peer has gone), the cases where the next write would fail.
  pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {watchReader ? output : -1, 0, 0}};
  for (;;) {
    int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category());
    if (fds[0].revents & POLLIN) {
      std::uint64_t count;
      [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);  // consumes the stop
      return true;
    }
    if (fds[1].revents & (POLLERR | POLLHUP)) return false;
    if (fds[1].revents & POLLNVAL) fds[1].fd = -1;  // closed under us: nothing left to watch
  }
}

void RunLoop::stop() {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

}  // namespace vandrelis
