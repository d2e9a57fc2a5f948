// The Linux calendar store: a tree of iCalendar files under one root directory
// ($XDG_DATA_HOME/vandrelis/calendars).
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

#include "store/calendar_store.h"

namespace vandrelis::store {

class VdirWatch;

class VdirStore : public CalendarStore {
 public:
  explicit VdirStore(std::filesystem::path root);
  ~VdirStore() override;

  // $XDG_DATA_HOME/vandrelis/calendars, with ~/.local/share when XDG_DATA_HOME is unset or
  // not an absolute path; ~ is $HOME, or the user database's home when HOME is unset or
  // relative.
  static std::filesystem::path defaultRoot();

  const std::filesystem::path& root() const { return root_; }

  // Root missing: not determined; present but not readable and searchable: denied; a readable
  // directory: full access.
  std::int64_t authorizationStatus() const override;
  // Creates the root (mode 0700, with missing parents) when it is missing; never changes
  // anything else.
  void requestFullAccessToEvents(AccessCompletion completion) override;

  CalendarList calendarsForEvents() const override;
  std::shared_ptr<const Calendar> defaultCalendarForNewEvents() const override;
  // Reads every item of the given calendars (only those this store listed) and expands it
  // into the window; a file that cannot be read or parsed is left out.
  EventList eventsMatching(Instant start, Instant end,
                           const CalendarList& calendars) const override;

  // Watches the tree with inotify; each burst of changes posts kStoreChangedNotification with
  // this store as sender, on the watch's thread.
  void beginObservingChanges() override;

 private:
  std::filesystem::path root_;
  std::mutex watchMutex_;
  std::unique_ptr<VdirWatch> watch_;
};

}  // namespace vandrelis::store
