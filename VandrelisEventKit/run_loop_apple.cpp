// The thread's event loop on Apple systems is the thread's own CFRunLoop, so that what the
// platform delivers through it (the main dispatch queue among others) is served while parked.
#include "run_loop.h"

#include <CoreFoundation/CoreFoundation.h>

namespace vandrelis {
namespace {

// Runs on the parked thread once stop() has signalled the source.
void stopCurrentLoop(void*) { CFRunLoopStop(CFRunLoopGetCurrent()); }

}  // namespace

RunLoop& RunLoop::current() {
  thread_local RunLoop loop;
  return loop;
}

RunLoop::RunLoop() = default;
RunLoop::~RunLoop() = default;

// No reader watch here: a helper whose reader has gone ends at its next write (SIGPIPE).
bool RunLoop::runWhileRead(int) {
  run();
  return true;
}

void RunLoop::run() {
  CFRunLoopRef loop = CFRunLoopGetCurrent();
  // A run loop without sources returns from CFRunLoopRun at once; this one keeps it waiting,
  // and a signal of it, unlike CFRunLoopStop, is not lost when it comes before the loop runs.
  CFRunLoopSourceContext context{};
  context.perform = stopCurrentLoop;
  CFRunLoopSourceRef source = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
  CFRunLoopAddSource(loop, source, kCFRunLoopDefaultMode);
  {
    std::lock_guard lock(mutex_);
    platformLoop_ = loop;
    stopSource_ = source;
  }
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopRequested_) {
        stopRequested_ = false;
        platformLoop_ = nullptr;
        stopSource_ = nullptr;
        break;
      }
    }
    CFRunLoopRun();
  }
  CFRunLoopSourceInvalidate(source);
  CFRelease(source);
}

void RunLoop::stop() {
  std::lock_guard lock(mutex_);
  stopRequested_ = true;
  if (stopSource_ != nullptr) {
    CFRunLoopSourceSignal(static_cast<CFRunLoopSourceRef>(stopSource_));
    CFRunLoopWakeUp(static_cast<CFRunLoopRef>(platformLoop_));
  }
}

}  // namespace vandrelis
