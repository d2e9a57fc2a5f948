// A cache of which item files can have occurrences when: per file its identity on disk and
// the span of its occurrences, so that a query reads only the files that can touch its window.
// It holds no event data and is never a source of truth: whatever is wrong with it only costs
// time.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The index is kept per calendar directory: the directory's own identity, and its item files
// in name order. A query passes over one directory at a time, its names in the same order,
// so that looking a file up is a step of a merge rather than a search, and a directory whose
// files all come out as they were recorded costs no allocation and no write.
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
  ~OccurrenceIndex();
  OccurrenceIndex(const OccurrenceIndex&) = delete;
  OccurrenceIndex& operator=(const OccurrenceIndex&) = delete;

  // Starts an update; `now` (seconds since 1970) decides which identities are too recent to
  // trust. Directories that are not passed over in this update are kept as they are.
  void beginUpdate(double now);

  // Starts the pass over the calendar directory `key` (its identifier), whose identity was
  // taken before it is listed. When the directory is recorded with that identity and its
  // listing, fills `names` with that listing (in byte order, each name NUL-terminated just
  // past its end, valid until save()) and returns true: a directory's entries cannot change
  // without changing its identity, so the caller need not list it. Otherwise the caller
  // lists it and passes the names in byte order.
  bool beginDirectory(std::string_view key, const FileIdentity& directory,
                      std::vector<std::string_view>* names);
  // The span recorded for item `name` of the current directory if its identity is still the
  // same. Names must come in strictly increasing byte order.
  std::optional<OccurrenceSpan> lookUp(std::string_view name, const FileIdentity& identity);
  // Records an item's identity and span. An identity too recent to be trusted is recorded
  // without them, so that the item is read again next time.
  void record(std::string_view name, const FileIdentity& identity, const OccurrenceSpan& span);
  // Records a listed name that is not an item to read now (it could not be examined, or is no
  // regular file): it stays part of the listing, to be examined again next time.
  void recordUnknown(std::string_view name);
  // Ends the directory's pass; items not recorded in it are dropped. `listedWhole` says
  // whether the names passed were the directory's whole listing, so that the listing may be
  // trusted next time.
  void endDirectory(bool listedWhole);

  // Writes the index when the update changed it: to a temporary file in the same directory,
  // renamed over the index, so that readers and other writers see a whole index or none.
  // Returns false when it could not be written (the cache directory is read-only, say).
  bool save();

  // The items whose spans are known.
  std::size_t size() const;

 private:
  struct Loaded;
  struct Pass;

  void load();
  bool trusted(const FileIdentity& identity) const;
  void append(std::string_view name, const FileIdentity& identity, const OccurrenceSpan& span,
              bool known);

  std::filesystem::path file_;
  std::string root_;
  double trustDelaySeconds_;
  double now_ = 0;
  std::unique_ptr<Loaded> loaded_;
  std::unique_ptr<Pass> pass_;
  bool changed_ = false;
};

}  // namespace vandrelis::store
