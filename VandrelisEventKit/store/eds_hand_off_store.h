// The EDS side of the statically linked program. Such a program cannot load the EDS module
// (GLib and EDS need the shared C library), so the first call that needs calendars, when EDS
// can be there, turns the process into the program's shared-library build beside it, which
// loads the module and runs the same command from the start. The process stays the one its
// parent started: same pid, arguments, environment and descriptors.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "store/calendar_store.h"

namespace vandrelis::store {

// The shared-library build of the program, looked for beside the running executable.
inline constexpr const char* kEdsProgramFile = "vandrelis-eventkit-eds";

class EdsHandOffStore final : public CalendarStore {
 public:
  explicit EdsHandOffStore(std::string programPath) : programPath_(std::move(programPath)) {}

  // As the EDS store: access is the tree's to decide.
  std::int64_t authorizationStatus() const override { return kStatusFullAccess; }
  void requestFullAccessToEvents(AccessCompletion completion) override {
    completion(true, std::nullopt);
  }
  // Each of these hands the process off when EDS can be there; when it cannot, or the program
  // cannot be started, the store has no calendars, as when EDS does not answer.
  CalendarList calendarsForEvents() const override;
  std::shared_ptr<const Calendar> defaultCalendarForNewEvents() const override;
  EventList eventsMatching(Instant start, Instant end,
                           const CalendarList& calendars) const override;
  void beginObservingChanges() override;

 private:
  void handOff() const;

  std::string programPath_;
  mutable std::once_flag once_;
};

// The running process's arguments, program name first, as /proc/self/cmdline gives them.
std::vector<std::string> processArguments();

}  // namespace vandrelis::store
