// The metadata of a vdir tree: sources (accounts) directly under the root, calendars directly
// under each source, and the default calendar named in the root.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/calendar_store.h"

namespace vandrelis::store {

class VdirSource final : public Source {
 public:
  VdirSource(std::string title, std::int64_t sourceType, std::vector<std::string> addresses)
      : title_(std::move(title)), sourceType_(sourceType), addresses_(std::move(addresses)) {}

  std::string title() const override { return title_; }
  std::int64_t sourceType() const override { return sourceType_; }

  // True when address (an e-mail address without scheme) is one of the user's own addresses
  // in this account, compared without regard to ASCII case.
  bool isOwnAddress(std::string_view address) const;

 private:
  std::string title_;
  std::int64_t sourceType_;
  std::vector<std::string> addresses_;  // lower-cased
};

class VdirCalendar final : public Calendar {
 public:
  VdirCalendar(std::string identifier, std::string title, std::optional<CalendarColor> color,
               std::shared_ptr<const VdirSource> source, bool writable,
               std::filesystem::path directory)
      : identifier_(std::move(identifier)),
        title_(std::move(title)),
        color_(std::move(color)),
        source_(std::move(source)),
        writable_(writable),
        directory_(std::move(directory)) {}

  std::string calendarIdentifier() const override { return identifier_; }
  std::string title() const override { return title_; }
  std::optional<CalendarColor> color() const override { return color_; }
  std::shared_ptr<const Source> source() const override { return source_; }
  bool allowsContentModifications() const override { return writable_; }

  const std::string& identifier() const { return identifier_; }
  const VdirSource& vdirSource() const { return *source_; }
  const std::filesystem::path& directory() const { return directory_; }

 private:
  std::string identifier_;
  std::string title_;
  std::optional<CalendarColor> color_;
  std::shared_ptr<const VdirSource> source_;
  bool writable_;
  std::filesystem::path directory_;
};

struct VdirTree {
  std::vector<std::shared_ptr<const VdirCalendar>> calendars;  // sources in order, then calendars
  std::optional<std::string> defaultCalendarIdentifier;         // as the root's file names it
};

// A directory or file name as identifiers show it: unchanged when it is valid UTF-8 without a
// backslash; otherwise each backslash is written "\\" and each byte that is not part of a
// valid UTF-8 sequence "\xHH" (upper-case hex), so distinct names give distinct identifiers
// and the name can be recovered from its identifier.
std::string identifierName(std::string_view name);

// Reads the tree's metadata; a missing or unreadable root or directory gives no entries.
VdirTree readVdirTree(const std::filesystem::path& root);

// The names in a directory that the tree considers, in byte order: entries not beginning with
// ".", which are directories or symbolic links to directories.
std::vector<std::string> listSubdirectories(const std::filesystem::path& directory);

// The item files of a calendar directory: names ending in ".ics" and not beginning with ".",
// which are regular files or symbolic links to them, in byte order.
std::vector<std::string> listItems(const std::filesystem::path& calendarDirectory);

// A calendar directory's item candidates as one listing, read with large directory reads into
// one buffer that is reused from directory to directory: no allocation per entry.
class ItemLister {
 public:
  struct Entry {
    std::string_view name;  // terminated by a NUL just past its end
    unsigned char type;     // DT_REG, DT_LNK or DT_UNKNOWN
  };

  // Lists the directory open as `directoryFd` from its current position: the names ending in
  // ".ics" and not beginning with "." whose entries are regular files, symbolic links or of
  // unknown type (the last two must be checked with a stat that follows links), in byte
  // order. Returns false when the directory could not be read to its end; the entries read
  // until then are listed. The entries stay valid until the next call.
  bool list(int directoryFd);
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  std::string names_;
  std::vector<Entry> entries_;
};

// The whole content of a regular file of at most `limit` bytes; none when the file is
// missing, unreadable, not a regular file or larger.
std::optional<std::string> readRegularFile(const std::filesystem::path& file, std::size_t limit);

// "#RRGGBB" or "#RRGGBBAA" (hexadecimal of either case, surrounding white space ignored) as
// components in 0...1; anything else gives none.
std::optional<CalendarColor> parseColor(std::string_view text);

// The store value of a source type word; an unknown word gives kUnknownSourceType.
inline constexpr std::int64_t kUnknownSourceType = 6;
std::int64_t sourceTypeFromWord(std::string_view word);

// The first line of a small metadata file, white space trimmed; none when the file is missing
// or unreadable.
std::optional<std::string> readFirstLine(const std::filesystem::path& file);

}  // namespace vandrelis::store
