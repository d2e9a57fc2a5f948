// The EDS store lives in a module of its own, loaded only by the commands that read
// calendars: linking GLib and EDS into the program would make every command, `status`
// included, pay for loading some fifty shared libraries.
//
// The module and the program are built from the same sources by the same compiler, so the
// store crosses as a C++ object; change notices cross as a plain callback, because each side
// has its own notification center.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/calendar_store.h"

namespace vandrelis::store {

// The module's file name.
inline constexpr const char* kEdsModuleFile = "vandrelis-eventkit-eds.so";
// The one symbol the module exports. A change of the interface between the two gets a new name,
// so a module from another build is never called with the wrong one.
inline constexpr const char* kEdsModuleEntry = "vandrelis_eds_store_v1";
using EdsChangeCallback = void (*)(void* context);
// Returns a new store (owned by the caller) whose change notices call changed(context).
using EdsModuleEntry = CalendarStore* (*)(EdsChangeCallback changed, void* context);

// The EDS store as the program sees it: the module is loaded on the first call that needs
// calendars, and only when a session bus and EDS's registry are there. The first of the paths
// that loads is the module. Without a bus or a registry, or when no path holds a module that
// loads with the libraries it needs, the store has no calendars, as when EDS does not answer.
class EdsModuleStore final : public CalendarStore {
 public:
  explicit EdsModuleStore(std::vector<std::string> modulePaths)
      : modulePaths_(std::move(modulePaths)) {}
  ~EdsModuleStore() override;

  // Where the program's module is, relative to the program's own executable: in an install
  // tree's module directory, else beside it (the build tree). None when the executable's path
  // cannot be read.
  static std::vector<std::string> pathsFromExecutable();

  std::int64_t authorizationStatus() const override { return kStatusFullAccess; }
  void requestFullAccessToEvents(AccessCompletion completion) override {
    completion(true, std::nullopt);
  }
  CalendarList calendarsForEvents() const override;
  std::shared_ptr<const Calendar> defaultCalendarForNewEvents() const override;
  EventList eventsMatching(Instant start, Instant end,
                           const CalendarList& calendars) const override;
  void visitEventsMatching(Instant start, Instant end, const CalendarList& calendars,
                           const std::function<void(const Event&)>& visit) const override;
  // The module's notices are posted again with this store as sender.
  void beginObservingChanges() override;

  // Whether the module was loaded (for tests and the benchmark).
  bool loaded() const;

 private:
  CalendarStore* store() const;

  std::vector<std::string> modulePaths_;
  mutable std::once_flag once_;
  mutable std::unique_ptr<CalendarStore> store_;
};

}  // namespace vandrelis::store
