// The index file: a versioned header naming the store root, the entries, and a checksum of
// everything before it. Written whole to a temporary file and renamed into place, so a
// reader sees one writer's index or another's, never a mixture; anything that does not check
// out is treated as no index at all.
#include "store/occurrence_index.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fd_write.h"

namespace vandrelis::store {
namespace {

constexpr char kMagic[8] = {'V', 'N', 'D', 'R', 'O', 'I', 'D', 'X'};
// Bumped whenever the layout or the meaning of a span changes.
constexpr std::uint32_t kVersion = 1;
// Read back as something else on a machine of the other byte order.
constexpr std::uint32_t kByteOrderMark = 0x01020304;
// An index of a million items is about 100 MB; anything larger is not ours.
constexpr std::size_t kLargestIndex = 256u << 20;

std::uint64_t checksum(std::string_view bytes) {
  std::uint64_t hash = 0x9E3779B97F4A7C15ULL ^ bytes.size();
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    hash = std::rotl(hash ^ word, 29) * 0x100000001B3ULL;
  }
  for (; i < bytes.size(); ++i) {
    hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 0x100000001B3ULL;
  }
  return hash ^ (hash >> 31);
}

template <typename T>
void put(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void putText(std::string& out, std::string_view text) {
  put(out, static_cast<std::uint32_t>(text.size()));
  out.append(text);
}

// Reads fields in order; once a read runs past the end every later one fails too.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  template <typename T>
  bool get(T* value) {
    if (bytes_.size() - pos_ < sizeof(T)) return fail();
    std::memcpy(value, bytes_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return true;
  }
  bool getText(std::string_view* text) {
    std::uint32_t size;
    if (!get(&size) || bytes_.size() - pos_ < size) return fail();
    *text = bytes_.substr(pos_, size);
    pos_ += size;
    return true;
  }
  bool atEnd() const { return ok_ && pos_ == bytes_.size(); }

 private:
  bool fail() {
    pos_ = bytes_.size();
    ok_ = false;
    return false;
  }

  std::string_view bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

std::optional<std::string> readWhole(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> bytes;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<std::uint64_t>(info.st_size) <= kLargestIndex) {
    std::string buffer(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < buffer.size()) {
      ssize_t got = ::read(fd, buffer.data() + done, buffer.size() - done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    if (done == buffer.size()) bytes = std::move(buffer);
  }
  ::close(fd);
  return bytes;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

FileIdentity FileIdentity::of(const struct stat& info) {
  FileIdentity identity;
  identity.device = static_cast<std::uint64_t>(info.st_dev);
  identity.inode = static_cast<std::uint64_t>(info.st_ino);
  identity.size = static_cast<std::uint64_t>(info.st_size);
  identity.modifiedNs = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                        info.st_mtim.tv_nsec;
  identity.changedNs = static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 +
                       info.st_ctim.tv_nsec;
  return identity;
}

std::filesystem::path OccurrenceIndex::defaultFile() {
  std::filesystem::path cacheHome;
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && *xdg != '\0') {
    cacheHome = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
      const struct passwd* user = ::getpwuid(::getuid());
      home = user != nullptr ? user->pw_dir : nullptr;
    }
    cacheHome = std::filesystem::path(home != nullptr ? home : "/") / ".cache";
  }
  return cacheHome / "vandrelis" / "occurrence-index";
}

OccurrenceIndex::OccurrenceIndex(std::filesystem::path file, std::string root,
                                 double trustDelaySeconds)
    : file_(std::move(file)), root_(std::move(root)), trustDelaySeconds_(trustDelaySeconds) {
  load();
}

void OccurrenceIndex::load() {
  // Until an index for this root has been read, the next save writes one.
  changed_ = true;
  std::optional<std::string> bytes = readWhole(file_);
  if (!bytes || bytes->size() < sizeof(kMagic) + sizeof(std::uint64_t)) return;
  const std::string_view body(bytes->data(), bytes->size() - sizeof(std::uint64_t));
  std::uint64_t stored;
  std::memcpy(&stored, bytes->data() + body.size(), sizeof stored);
  if (std::memcmp(body.data(), kMagic, sizeof kMagic) != 0 || stored != checksum(body)) return;

  Reader reader(body.substr(sizeof kMagic));
  std::uint32_t version = 0, byteOrder = 0;
  std::string_view root;
  std::uint64_t count = 0;
  if (!reader.get(&version) || version != kVersion || !reader.get(&byteOrder) ||
      byteOrder != kByteOrderMark || !reader.getText(&root) || root != root_ ||
      !reader.get(&count)) {
    return;
  }
  std::unordered_map<std::string, Entry> entries;
  // Each entry takes at least 60 bytes, so a count larger than that is corrupt.
  if (count > body.size() / 60) return;
  entries.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    std::string_view item;
    Entry entry;
    FileIdentity& id = entry.identity;
    if (!reader.getText(&item) || !reader.get(&id.device) || !reader.get(&id.inode) ||
        !reader.get(&id.size) || !reader.get(&id.modifiedNs) || !reader.get(&id.changedNs) ||
        !reader.get(&entry.span.earliest) || !reader.get(&entry.span.latest)) {
      return;
    }
    entries.emplace(std::string(item), entry);
  }
  if (!reader.atEnd()) return;
  entries_ = std::move(entries);
  changed_ = false;
}

std::optional<OccurrenceSpan> OccurrenceIndex::lookUp(const std::string& item,
                                                      const FileIdentity& identity) const {
  auto found = entries_.find(item);
  if (found == entries_.end() || !(found->second.identity == identity)) return std::nullopt;
  return found->second.span;
}

void OccurrenceIndex::beginUpdate(double now) {
  now_ = now;
  coveredDirectories_.clear();
  for (auto& [item, entry] : entries_) entry.recorded = false;
}

void OccurrenceIndex::covers(std::string_view directory) {
  coveredDirectories_.emplace_back(directory);
}

bool OccurrenceIndex::trusted(const FileIdentity& identity) const {
  const double latest =
      static_cast<double>(std::max(identity.modifiedNs, identity.changedNs)) / 1e9;
  return latest < now_ - trustDelaySeconds_;
}

void OccurrenceIndex::record(const std::string& item, const FileIdentity& identity,
                             const OccurrenceSpan& span) {
  auto found = entries_.find(item);
  if (!trusted(identity)) {
    if (found != entries_.end()) {
      entries_.erase(found);
      changed_ = true;
    }
    return;
  }
  if (found == entries_.end()) {
    found = entries_.emplace(item, Entry{}).first;
    changed_ = true;
  } else if (!(found->second.identity == identity) ||
             std::memcmp(&found->second.span, &span, sizeof span) != 0) {
    changed_ = true;
  }
  found->second = Entry{identity, span, true};
}

bool OccurrenceIndex::save() {
  for (auto it = entries_.begin(); it != entries_.end();) {
    const bool covered = std::any_of(coveredDirectories_.begin(), coveredDirectories_.end(),
                                     [&](const std::string& d) { return startsWith(it->first, d); });
    if (covered && !it->second.recorded) {
      it = entries_.erase(it);
      changed_ = true;
    } else {
      ++it;
    }
  }
  if (!changed_) return true;

  std::string bytes(kMagic, sizeof kMagic);
  bytes.reserve(64 + root_.size() + entries_.size() * 100);
  put(bytes, kVersion);
  put(bytes, kByteOrderMark);
  putText(bytes, root_);
  put(bytes, static_cast<std::uint64_t>(entries_.size()));
  for (const auto& [item, entry] : entries_) {
    putText(bytes, item);
    const FileIdentity& id = entry.identity;
    put(bytes, id.device);
    put(bytes, id.inode);
    put(bytes, id.size);
    put(bytes, id.modifiedNs);
    put(bytes, id.changedNs);
    put(bytes, entry.span.earliest);
    put(bytes, entry.span.latest);
  }
  put(bytes, checksum(bytes));

  std::error_code error;
  std::filesystem::create_directories(file_.parent_path(), error);
  std::string temporary = file_.string() + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = writeAll(fd, bytes) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temporary.c_str(), file_.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  changed_ = false;
  return true;
}

}  // namespace vandrelis::store
