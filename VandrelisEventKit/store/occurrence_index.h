// A cache of which item files can have occurrences when: per file its identity on disk and
// the span of its occurrences, so that a query reads only the files that can touch its window.
// It holds no event data and is never a source of truth: whatever is wrong with it only costs
// time.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "store/calendar_store.h"

namespace vandrelis::store {

// What tells one content of a file from another without reading it.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modifiedNs = 0;
  std::int64_t changedNs = 0;

  static FileIdentity of(const struct stat& info);
  bool operator==(const FileIdentity&) const = default;
};

// The earliest start and latest end of a file's occurrences; earliest > latest for a file
// that has none.
struct OccurrenceSpan {
  Instant earliest = 0;
  Instant latest = 0;

  // Whether an occurrence in the span can touch [start, end). Ends equal to the window's
  // start still count: an event without duration there belongs to the window.
  bool mayTouch(Instant start, Instant end) const {
    return earliest <= latest && earliest < end && latest >= start;
  }
};

class OccurrenceIndex {
 public:
  // How recent a change may be before the file's identity is no longer trusted: a file
  // replaced again within the same clock tick, with the same size and a reused inode, would
  // look unchanged. Larger than any file system's timestamp granularity.
  static constexpr double kDefaultTrustDelaySeconds = 2.0;

  // $XDG_CACHE_HOME/vandrelis/occurrence-index, with ~/.cache when XDG_CACHE_HOME is unset
  // or empty, and the password database's home directory when HOME is unset.
  static std::filesystem::path defaultFile();

  // The index of store root `root` kept in `file`. Reads it at once; a missing, unreadable,
  // corrupt, foreign-version or other root's index gives an empty one.
  OccurrenceIndex(std::filesystem::path file, std::string root,
                  double trustDelaySeconds = kDefaultTrustDelaySeconds);

  // The span recorded for `item` (a path under the root) if its identity is still the same.
  std::optional<OccurrenceSpan> lookUp(const std::string& item, const FileIdentity& identity) const;

  // Starts an update: every item that is not recorded again before save() is dropped,
  // except those outside the directories passed to keepOnly(). `now` (seconds since 1970)
  // decides which identities are too recent to trust.
  void beginUpdate(double now);
  // Notes that every item under `directory` (a path under the root, ending with "/") is
  // recorded again in this update; items under other directories are kept as they are.
  void covers(std::string_view directory);
  // Records an item's identity and span, or forgets the item when its identity is too
  // recent to be trusted.
  void record(const std::string& item, const FileIdentity& identity, const OccurrenceSpan& span);

  // Writes the index when the update changed it: to a temporary file in the same directory,
  // renamed over the index, so that readers and other writers see a whole index or none.
  // Returns false when it could not be written (the cache directory is read-only, say).
  bool save();

  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    FileIdentity identity;
    OccurrenceSpan span;
    bool recorded = false;  // in this update
  };

  void load();
  bool trusted(const FileIdentity& identity) const;

  std::filesystem::path file_;
  std::string root_;
  double trustDelaySeconds_;
  double now_ = 0;
  std::unordered_map<std::string, Entry> entries_;
  std::vector<std::string> coveredDirectories_;
  bool changed_ = false;
};

}  // namespace vandrelis::store
