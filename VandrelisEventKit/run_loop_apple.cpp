// The thread's event loop on Apple systems is the thread's own CFRunLoop, so that what the
// platform delivers through it (the main dispatch queue among others) is served while parked.
// The reader of an output is watched there too: a kqueue that reports the end of the output's
// reader, itself watched for readability through a CFFileDescriptor.
#include "run_loop.h"

#include <errno.h>
#include <unistd.h>

#include <optional>
#include <system_error>
#include <utility>

#include <CoreFoundation/CoreFoundation.h>
#include <sys/event.h>
#include <sys/stat.h>

namespace vandrelis {
namespace {

// Runs on the parked thread once stop() has signalled the source.
void stopCurrentLoop(void*) { CFRunLoopStop(CFRunLoopGetCurrent()); }

// What the kqueue's callback reads and reports; lives as long as the watch.
struct ReaderState {
  int queue = -1;
  bool gone = false;
};

// Runs on the parked thread when the kqueue has events. Each callback is one-shot: it is enabled
// again only while there is a reader to watch.
void readerEvents(CFFileDescriptorRef descriptor, CFOptionFlags, void* info) {
  auto* state = static_cast<ReaderState*>(info);
  const timespec now{0, 0};
  struct kevent events[4];
  const int count = ::kevent(state->queue, nullptr, 0, events, 4, &now);
  bool watching = count >= 0 || errno == EINTR;
  for (int i = 0; i < count; ++i) {
    // The output closed under us leaves nothing to watch; the end of its reader ends the run.
    if ((events[i].flags & EV_ERROR) != 0) watching = false;
    if ((events[i].flags & EV_EOF) != 0) state->gone = true;
  }
  if (state->gone) {
    CFRunLoopStop(CFRunLoopGetCurrent());
  } else if (watching) {
    CFFileDescriptorEnableCallBacks(descriptor, kCFFileDescriptorReadCallBack);
  }
}

// The end of the reader of `output`, watched from the current thread's loop while this lives.
// EV_CLEAR reports changes rather than the state, so a writable pipe wakes the loop only when
// its reader takes something or goes.
class ReaderWatch {
 public:
  explicit ReaderWatch(int output) {
    state_.queue = ::kqueue();
    if (state_.queue < 0) throw std::system_error(errno, std::generic_category());
    struct kevent change;
    EV_SET(&change, static_cast<uintptr_t>(output), EVFILT_WRITE, EV_ADD | EV_CLEAR, 0, 0,
           nullptr);
    CFFileDescriptorContext context{0, &state_, nullptr, nullptr, nullptr};
    if (::kevent(state_.queue, &change, 1, nullptr, 0, nullptr) != 0 ||
        // The descriptor closes the queue when it is invalidated.
        (descriptor_ = CFFileDescriptorCreate(kCFAllocatorDefault, state_.queue, true,
                                              readerEvents, &context)) == nullptr) {
      const int error = errno;
      ::close(state_.queue);
      throw std::system_error(error, std::generic_category());
    }
    source_ = CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, descriptor_, 0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source_, kCFRunLoopDefaultMode);
    CFFileDescriptorEnableCallBacks(descriptor_, kCFFileDescriptorReadCallBack);
  }
  ~ReaderWatch() {
    CFRunLoopSourceInvalidate(source_);
    CFRelease(source_);
    CFFileDescriptorInvalidate(descriptor_);
    CFRelease(descriptor_);
  }
  ReaderWatch(const ReaderWatch&) = delete;
  ReaderWatch& operator=(const ReaderWatch&) = delete;

  bool readerGone() const { return state_.gone; }

 private:
  ReaderState state_;
  CFFileDescriptorRef descriptor_ = nullptr;
  CFRunLoopSourceRef source_ = nullptr;
};

}  // namespace

RunLoop& RunLoop::current() {
  thread_local RunLoop loop;
  return loop;
}

RunLoop::RunLoop() = default;
RunLoop::~RunLoop() = default;

void RunLoop::run() { runWhileRead(-1); }

bool RunLoop::runWhileRead(int output) {
  struct stat info;
  std::optional<ReaderWatch> watch;
  if (output >= 0 && ::fstat(output, &info) == 0 &&
      (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))) {
    watch.emplace(output);
  }

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
  bool stopped = false;
  while (!(watch && watch->readerGone())) {
    {
      std::lock_guard lock(mutex_);
      stopped = std::exchange(stopRequested_, false);
    }
    if (stopped) break;
    CFRunLoopRun();
  }
  {
    std::lock_guard lock(mutex_);
    platformLoop_ = nullptr;
    stopSource_ = nullptr;
  }
  CFRunLoopSourceInvalidate(source);
  CFRelease(source);
  return stopped;
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
