#include "platform/main_thread.h"

#include <unistd.h>

namespace micdetector {

void parkMainThread() {
  for (;;) ::pause();
}

}  // namespace micdetector
