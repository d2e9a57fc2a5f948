// The Linux calendar store: a tree of iCalendar files under one root directory
// ($XDG_DATA_HOME/vandrelis/calendars).
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "store/calendar_store.h"

namespace vandrelis::store {

class VdirWatch;

struct VdirIndexOptions {
  bool enabled = true;
  // Where the occurrence index is kept; OccurrenceIndex::defaultFile() when absent.
  std::optional<std::filesystem::path> file;
  double trustDelaySeconds = 2.0;
};

// What a query did: the item files it considered and those it read.
struct VdirQueryStats {
  std::size_t items = 0;
  std::size_t read = 0;
};

class VdirStore : public CalendarStore {
 public:
  explicit VdirStore(std::filesystem::path root, VdirIndexOptions index = {});
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
  // Reads the items of the given calendars (only those this store listed) that can have an
  // occurrence in the window, and expands them into it; a file that cannot be read or parsed
  // is left out. The occurrence index says which files cannot: those whose identity on disk
  // is unchanged since they were last read and whose occurrences all lie outside the window.
  EventList eventsMatching(Instant start, Instant end,
                           const CalendarList& calendars) const override;
  // Keeps about 32 bytes per occurrence until it is visited, instead of an event object.
  void visitEventsMatching(Instant start, Instant end, const CalendarList& calendars,
                           const std::function<void(const Event&)>& visit) const override;

  // Watches the tree with inotify; each burst of changes posts kStoreChangedNotification with
  // this store as sender, on the watch's thread.
  void beginObservingChanges() override;

  VdirQueryStats lastQueryStats() const { return lastQueryStats_; }
  // How many threads may read one query's files side by side; 0, the default, means one per
  // processor, at most four.
  void setReaders(std::size_t readers) { readers_ = readers; }

 private:
  std::filesystem::path root_;
  VdirIndexOptions indexOptions_;
  mutable VdirQueryStats lastQueryStats_;
  std::size_t readers_ = 0;
  std::mutex watchMutex_;
  std::unique_ptr<VdirWatch> watch_;
};

}  // namespace vandrelis::store
