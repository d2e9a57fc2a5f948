// Entry of vandrelis-eventkit: hands the arguments (without the program path) to the frame.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "command_frame.h"
#include "store/platform_store.h"

namespace {

// Started with a standard descriptor closed, the first file or inotify descriptor the helper
// opens would take its number, and the JSON meant for standard output would be written into it.
void openMissingStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is taken, which is `fd` itself since those below are open.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  openMissingStandardDescriptors();
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  return vandrelis::runHelper(arguments, vandrelis::store::makePlatformStore);
}
