// The watch command: one {"type":"changed"} line on standard output for every change
// notification that the process's store posts, for as long as the process lives.
#pragma once

#include <optional>

#include "store/calendar_store.h"
#include "store/notification_center.h"

namespace vandrelis {

inline constexpr const char* kRunLoopEnded = "EventKit watcher run loop ended";

class StoreWatcher {
 public:
  explicit StoreWatcher(store::CalendarStore& store) : store_(store) {}
  // Removes the registration, so that a watcher that did not live to the end of the process
  // leaves no handler behind.
  ~StoreWatcher();
  StoreWatcher(const StoreWatcher&) = delete;
  StoreWatcher& operator=(const StoreWatcher&) = delete;

  // The permission gate, the registration, then the calling thread's run loop. Throws
  // HelperError::permissionDenied before registering anything when access is not granted.
  // Once the reader of standard output (a pipe or socket) has gone, ends the process by
  // SIGPIPE, as the next write would. Should the run loop ever end, throws
  // std::runtime_error(kRunLoopEnded): the command never ends as a success.
  [[noreturn]] void run();

  store::CalendarStore& store() const { return store_; }
  // The token of the registration, once run() has made it.
  const std::optional<store::NotificationCenter::Token>& observer() const { return observer_; }

 private:
  store::CalendarStore& store_;
  std::optional<store::NotificationCenter::Token> observer_;
};

}  // namespace vandrelis
