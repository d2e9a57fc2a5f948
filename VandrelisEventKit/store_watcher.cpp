// Handlers run on whichever thread posts, possibly several at once; one process-wide lock
// keeps each line's two writes together so lines reach the pipe whole and one after another.
#include "store_watcher.h"

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

  RunLoop::current().run();
  throw std::runtime_error(kRunLoopEnded);
}

}  // namespace vandrelis
