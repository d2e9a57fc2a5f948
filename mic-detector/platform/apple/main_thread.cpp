#include <CoreFoundation/CoreFoundation.h>

#include "platform/main_thread.h"

namespace micdetector {

void parkMainThread() {
  // A run loop without sources returns from CFRunLoopRun at once: a source that is never
  // signalled keeps it waiting. Never released, since the process ends with _exit.
  CFRunLoopSourceContext context{};
  CFRunLoopSourceRef keepAlive = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
  CFRunLoopAddSource(CFRunLoopGetMain(), keepAlive, kCFRunLoopCommonModes);
  for (;;) CFRunLoopRun();
}

}  // namespace micdetector
