// Handlers run on whichever thread posts, possibly several at once; one process-wide lock
// keeps each line's two writes together so lines reach the pipe whole and one after another.
#include "store_watcher.h"

#include <signal.h>
#include <unistd.h>

#include <mutex>
#include <stdexcept>

#include "json_writer.h"
#include "permission.h"
#include "run_loop.h"

namespace vandrelis {
namespace {

std::mutex& changeLineMutex() {
  static std::mutex mutex;
  return mutex;
}

void writeChangeLine() {
  std::lock_guard lock(changeLineMutex());
  try {
    writeJson(ChangeOutput{});
  } catch (...) {
    // A line that cannot be written is dropped; the next change tries again.
  }
}

// Ends the process with the status the next change line's write would have given under
// SIGPIPE's default action; the default is set (and the signal unblocked) first, so that a
// parent that left SIGPIPE ignored still leaves no orphan behind.
[[noreturn]] void endAsAWriteToAGoneReaderWould() {
  ::signal(SIGPIPE, SIG_DFL);
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  ::pthread_sigmask(SIG_UNBLOCK, &pipeOnly, nullptr);
  ::raise(SIGPIPE);
  ::_exit(128 + SIGPIPE);  // not reached: the default action ends the process
}

}  // namespace

StoreWatcher::~StoreWatcher() {
  if (observer_) store::NotificationCenter::defaultCenter().removeObserver(*observer_);
}

void StoreWatcher::run() {
  requirePermission(store_);

  store::NotificationCenter& center = store::NotificationCenter::defaultCenter();
  const void* sender = &store_;
  store::NotificationCenter::Token token =
      center.addObserver(store::kStoreChangedNotification, sender, writeChangeLine);
  if (observer_) center.removeObserver(*observer_);
  observer_ = token;
  // Only after registering, so that no change the store reports can pass unseen.
  store_.beginObservingChanges();

  if (!RunLoop::current().runWhileRead(STDOUT_FILENO)) endAsAWriteToAGoneReaderWould();
  throw std::runtime_error(kRunLoopEnded);
}

}  // namespace vandrelis
