// The index file: a versioned header naming the store root, the directory records, the item
// records, the names they point into, and a checksum of everything before it. Records have a
// fixed size, so loading is one read and a checksum, with nothing parsed per item until a
// query passes over its directory. Written whole to a temporary file and renamed into place,
// so a reader sees one writer's index or another's, never a mixture; anything that does not
// check out is treated as no index at all.
#include "store/vdir/occurrence_index.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "fd_write.h"

namespace vandrelis::store {
namespace {

constexpr char kMagic[8] = {'V', 'N', 'D', 'R', 'O', 'I', 'D', 'X'};
// Bumped whenever the layout or the meaning of a span changes, or the reading of items does
// (3: byte-order marks, CR line ends, mistyped ENDs, rolled-over days and UNTIL dates), so
// that no span computed by older rules is trusted.
constexpr std::uint32_t kVersion = 3;
// Read back as something else on a machine of the other byte order.
constexpr std::uint32_t kByteOrderMark = 0x01020304;
// An index of a million items is about 100 MB; anything larger is not ours.
constexpr std::size_t kLargestIndex = 256u << 20;

struct Header {
  std::uint32_t version;
  std::uint32_t byteOrder;
  std::uint32_t rootLength;
  std::uint32_t directoryCount;
  std::uint64_t entryCount;
  std::uint64_t namesSize;
};

// A calendar directory: its identity when its listing was recorded, its key (in the names),
// and its items, a run of the entries in name order.
struct DirectoryRecord {
  FileIdentity identity;
  std::uint32_t keyOffset;
  std::uint32_t keyLength;
  std::uint32_t firstEntry;
  std::uint32_t entryCount;
  std::uint32_t flags;
  std::uint32_t reserved;
};
constexpr std::uint32_t kListed = 1;  // the entries are the directory's whole listing

// An item: identity and span when they are known, and its name (in the names, followed by a
// NUL).
struct EntryRecord {
  FileIdentity identity;
  OccurrenceSpan span;
  std::uint32_t nameOffset;
  std::uint16_t nameLength;
  std::uint8_t flags;
  std::uint8_t reserved;
};
constexpr std::uint8_t kKnown = 1;

static_assert(sizeof(Header) == 32 && sizeof(DirectoryRecord) == 64 && sizeof(EntryRecord) == 64);

constexpr std::size_t padded(std::size_t size) { return (size + 7) & ~std::size_t{7}; }

// Four independent lanes, so that the multiplications of neighbouring words overlap; fed in
// pieces of any size, so that the index can be written through a small buffer.
class Checksum {
 public:
  void update(std::string_view bytes) {
    size_ += bytes.size();
    if (pendingSize_ > 0) {
      const std::size_t taken = std::min(bytes.size(), sizeof pending_ - pendingSize_);
      std::memcpy(pending_ + pendingSize_, bytes.data(), taken);
      pendingSize_ += taken;
      bytes.remove_prefix(taken);
      if (pendingSize_ < sizeof pending_) return;
      block(pending_);
      pendingSize_ = 0;
    }
    for (; bytes.size() >= sizeof pending_; bytes.remove_prefix(sizeof pending_)) block(bytes.data());
    std::memcpy(pending_, bytes.data(), bytes.size());
    pendingSize_ = bytes.size();
  }

  std::uint64_t value() const {
    std::uint64_t hash = lanes_[0] ^ size_;
    for (int lane = 1; lane < 4; ++lane) {
      hash = std::rotl(hash, 17) ^ (lanes_[lane] * 0x9E3779B97F4A7C15ULL);
    }
    for (std::size_t i = 0; i < pendingSize_; ++i) {
      hash = (hash ^ static_cast<unsigned char>(pending_[i])) * 0x100000001B3ULL;
    }
    return hash ^ (hash >> 31);
  }

 private:
  void block(const char* bytes) {
    for (int lane = 0; lane < 4; ++lane) {
      std::uint64_t word;
      std::memcpy(&word, bytes + 8 * lane, 8);
      lanes_[lane] = std::rotl(lanes_[lane] ^ word, 29) * 0x100000001B3ULL;
    }
  }

  std::uint64_t lanes_[4] = {0x9E3779B97F4A7C15ULL, 0xC2B2AE3D27D4EB4FULL, 0x165667B19E3779F9ULL,
                             0x27D4EB2F165667C5ULL};
  char pending_[32];
  std::size_t pendingSize_ = 0;
  std::uint64_t size_ = 0;
};

std::uint64_t checksum(std::string_view bytes) {
  Checksum sum;
  sum.update(bytes);
  return sum.value();
}

// The index file written through a fixed buffer, checksummed on the way.
class IndexWriter {
 public:
  explicit IndexWriter(int fd) : fd_(fd) { buffer_.reserve(kBufferSize); }

  void append(std::string_view bytes) {
    sum_.update(bytes);
    buffer_.append(bytes);
    if (buffer_.size() >= kBufferSize) flush();
  }
  template <typename T>
  void put(const T& value) {
    append(std::string_view(reinterpret_cast<const char*>(&value), sizeof value));
  }
  // Zeros up to the next multiple of eight bytes.
  void pad() {
    static constexpr char kZeros[8] = {};
    append(std::string_view(kZeros, padded(written_ + buffer_.size()) - (written_ + buffer_.size())));
  }
  // Appends the checksum of everything before it and writes what is left.
  bool finish() {
    const std::uint64_t value = sum_.value();
    buffer_.append(reinterpret_cast<const char*>(&value), sizeof value);
    flush();
    return ok_;
  }

 private:
  static constexpr std::size_t kBufferSize = 64 * 1024;

  void flush() {
    if (ok_ && writeAll(fd_, buffer_) != 0) ok_ = false;
    written_ += buffer_.size();
    buffer_.clear();
  }

  int fd_;
  std::string buffer_;
  std::size_t written_ = 0;
  Checksum sum_;
  bool ok_ = true;
};

template <typename T>
T get(const char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

bool sameRecord(const EntryRecord& a, const EntryRecord& b) {
  return a.flags == b.flags && a.identity == b.identity &&
         std::memcmp(&a.span, &b.span, sizeof a.span) == 0;
}

// Memory for the index as read. A large one goes into memory that the system may back with
// huge pages: touching each fresh small page costs more than reading the bytes into it (on
// virtual machines several times more), and an index of 50,000 items is a thousand pages.
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::size_t size) : size_(size) {
    if (size < kHugePage) {
      small_ = std::make_unique_for_overwrite<char[]>(size);
      data_ = small_.get();
      return;
    }
    mapped_ = (size + kHugePage - 1) / kHugePage * kHugePage + kHugePage;
    void* region = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) {
      mapped_ = 0;
      small_ = std::make_unique_for_overwrite<char[]>(size);
      data_ = small_.get();
      return;
    }
    region_ = static_cast<char*>(region);
    // Aligned to a huge page inside the region, so that the first one can be huge too.
    const auto address = reinterpret_cast<std::uintptr_t>(region_);
    data_ = region_ + ((kHugePage - address % kHugePage) % kHugePage);
    ::madvise(data_, mapped_ - static_cast<std::size_t>(data_ - region_), MADV_HUGEPAGE);
  }
  ~Buffer() {
    if (region_ != nullptr) ::munmap(region_, mapped_);
  }
  Buffer(Buffer&& other) noexcept { *this = std::move(other); }
  Buffer& operator=(Buffer&& other) noexcept {
    std::swap(small_, other.small_);
    std::swap(region_, other.region_);
    std::swap(mapped_, other.mapped_);
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }

  char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  static constexpr std::size_t kHugePage = 2u << 20;

  std::unique_ptr<char[]> small_;
  char* region_ = nullptr;
  std::size_t mapped_ = 0;
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace

// The index as read: its bytes, and its directories, whose entries are checked when a query
// first passes over them.
struct OccurrenceIndex::Loaded {
  struct Directory {
    std::string_view key;
    FileIdentity identity;
    bool listed = false;
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    enum class State { unchecked, good, bad } state = State::unchecked;
    bool passed = false;  // in this update
  };

  Buffer bytes;
  const char* entries = nullptr;
  const char* names = nullptr;
  std::size_t namesSize = 0;
  std::vector<Directory> directories;

  EntryRecord entry(std::size_t i) const {
    return get<EntryRecord>(entries + i * sizeof(EntryRecord));
  }
  std::string_view name(const EntryRecord& entry) const {
    return {names + entry.nameOffset, entry.nameLength};
  }

  // Whether a directory's entries are usable: names inside the names, NUL-terminated, item
  // file names as a listing gives them, in strictly increasing order. A damaged index that passes the checksum must
  // still never make the store look outside the directory.
  bool check(Directory& directory) const {
    if (directory.state == Directory::State::unchecked) {
      bool good = true;
      std::string_view previous;
      for (std::uint32_t i = 0; good && i < directory.count; ++i) {
        const EntryRecord e = entry(directory.first + i);
        good = e.nameLength > 0 && std::size_t{e.nameOffset} + e.nameLength < namesSize &&
               names[e.nameOffset + e.nameLength] == '\0';
        if (!good) break;
        const std::string_view n = name(e);
        good = n.find('/') == std::string_view::npos && n.find('\0') == std::string_view::npos &&
               n.front() != '.' && n.ends_with(".ics") && (i == 0 || previous < n);
        previous = n;
      }
      directory.state = good ? Directory::State::good : Directory::State::bad;
    }
    return directory.state == Directory::State::good;
  }
};

// What an update has passed over: finished directories, and the one under way. A directory
// is copied out of the loaded index only from its first difference on.
struct OccurrenceIndex::Pass {
  struct Directory {
    std::string key;
    FileIdentity identity;
    bool listed = false;
    // When the pass found the directory as loaded, its entries are the loaded ones.
    Loaded::Directory* same = nullptr;
    std::vector<EntryRecord> entries;
    std::string names;
  };

  std::vector<Directory> done;
  Directory current;
  Loaded::Directory* old = nullptr;  // the current directory as loaded, when it is usable
  std::size_t cursor = 0;            // the merge's position among the old entries
  std::size_t unchanged = 0;         // the new entries so far are the first this many old ones
  bool copied = false;               // the new entries are in current.entries
};

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

namespace {

// The whole index file in one read; none when it cannot be read whole.
std::optional<Buffer> readWhole(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<Buffer> bytes;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<std::uint64_t>(info.st_size) <= kLargestIndex) {
    bytes.emplace(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < bytes->size()) {
      ssize_t got = ::read(fd, bytes->data() + done, bytes->size() - done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    if (done != bytes->size()) bytes.reset();
  }
  ::close(fd);
  return bytes;
}

}  // namespace

OccurrenceIndex::OccurrenceIndex(std::filesystem::path file, std::string root,
                                 double trustDelaySeconds)
    : file_(std::move(file)),
      root_(std::move(root)),
      trustDelaySeconds_(trustDelaySeconds),
      loaded_(std::make_unique<Loaded>()),
      pass_(std::make_unique<Pass>()) {
  load();
}

OccurrenceIndex::~OccurrenceIndex() = default;

void OccurrenceIndex::load() {
  // Until an index for this root has been read, the next save writes one.
  changed_ = true;
  std::optional<Buffer> bytes = readWhole(file_);
  constexpr std::size_t kFixed = sizeof kMagic + sizeof(Header) + sizeof(std::uint64_t);
  if (!bytes || bytes->size() < kFixed || bytes->size() % 8 != 0) return;
  const std::string_view body(bytes->data(), bytes->size() - sizeof(std::uint64_t));
  if (std::memcmp(body.data(), kMagic, sizeof kMagic) != 0 ||
      get<std::uint64_t>(body.data() + body.size()) != checksum(body)) {
    return;
  }
  const Header header = get<Header>(body.data() + sizeof kMagic);
  if (header.version != kVersion || header.byteOrder != kByteOrderMark) return;
  // Sizes in 64-bit arithmetic from fields of at most 32 bits, or checked against the body
  // before they are multiplied, cannot overflow.
  std::size_t at = sizeof kMagic + sizeof header;
  const std::size_t rootAt = at;
  at += padded(header.rootLength);
  const std::size_t directoriesAt = at;
  at += std::size_t{header.directoryCount} * sizeof(DirectoryRecord);
  if (at > body.size() || header.entryCount > body.size() / sizeof(EntryRecord)) return;
  const std::size_t entriesAt = at;
  at += header.entryCount * sizeof(EntryRecord);
  if (at > body.size() || header.namesSize > body.size() - at ||
      at + padded(header.namesSize) != body.size()) {
    return;
  }
  if (std::string_view(body.data() + rootAt, header.rootLength) != root_) return;

  Loaded loaded;
  loaded.entries = body.data() + entriesAt;
  loaded.names = body.data() + at;
  loaded.namesSize = header.namesSize;
  loaded.directories.reserve(header.directoryCount);
  for (std::uint32_t i = 0; i < header.directoryCount; ++i) {
    const auto d = get<DirectoryRecord>(body.data() + directoriesAt + i * sizeof(DirectoryRecord));
    if (std::size_t{d.keyOffset} + d.keyLength > header.namesSize ||
        std::size_t{d.firstEntry} + d.entryCount > header.entryCount) {
      return;
    }
    Loaded::Directory& directory = loaded.directories.emplace_back();
    directory.key = std::string_view(loaded.names + d.keyOffset, d.keyLength);
    directory.identity = d.identity;
    directory.listed = (d.flags & kListed) != 0;
    directory.first = d.firstEntry;
    directory.count = d.entryCount;
  }
  loaded.bytes = std::move(*bytes);
  *loaded_ = std::move(loaded);
  changed_ = false;
}

std::size_t OccurrenceIndex::size() const {
  std::size_t known = 0;
  for (Loaded::Directory& directory : loaded_->directories) {
    if (!loaded_->check(directory)) continue;
    for (std::uint32_t i = 0; i < directory.count; ++i) {
      known += (loaded_->entry(directory.first + i).flags & kKnown) != 0;
    }
  }
  return known;
}

void OccurrenceIndex::beginUpdate(double now) {
  now_ = now;
  pass_ = std::make_unique<Pass>();
  for (Loaded::Directory& directory : loaded_->directories) directory.passed = false;
}

bool OccurrenceIndex::trusted(const FileIdentity& identity) const {
  const double latest =
      static_cast<double>(std::max(identity.modifiedNs, identity.changedNs)) / 1e9;
  return latest < now_ - trustDelaySeconds_;
}

bool OccurrenceIndex::beginDirectory(std::string_view key, const FileIdentity& directory,
                                     std::vector<std::string_view>* names) {
  Pass& pass = *pass_;
  // A directory passed twice in one update keeps the later pass.
  std::erase_if(pass.done, [&](const Pass::Directory& d) { return d.key == key; });
  pass.current = Pass::Directory{};
  pass.current.key = key;
  pass.current.identity = directory;
  pass.old = nullptr;
  pass.cursor = pass.unchanged = 0;
  pass.copied = false;
  for (Loaded::Directory& d : loaded_->directories) {
    if (d.key != key || d.passed) continue;
    d.passed = true;
    if (loaded_->check(d)) pass.old = &d;
    break;
  }
  names->clear();
  if (pass.old == nullptr || !pass.old->listed || !(pass.old->identity == directory)) {
    return false;
  }
  names->reserve(pass.old->count);
  for (std::uint32_t i = 0; i < pass.old->count; ++i) {
    names->push_back(loaded_->name(loaded_->entry(pass.old->first + i)));
  }
  return true;
}

std::optional<OccurrenceSpan> OccurrenceIndex::lookUp(std::string_view name,
                                                      const FileIdentity& identity) {
  Pass& pass = *pass_;
  if (pass.old == nullptr) return std::nullopt;
  for (; pass.cursor < pass.old->count; ++pass.cursor) {
    const EntryRecord e = loaded_->entry(pass.old->first + pass.cursor);
    const std::string_view recorded = loaded_->name(e);
    if (recorded < name) continue;
    if (recorded == name && (e.flags & kKnown) != 0 && e.identity == identity) return e.span;
    break;
  }
  return std::nullopt;
}

void OccurrenceIndex::record(std::string_view name, const FileIdentity& identity,
                             const OccurrenceSpan& span) {
  if (trusted(identity)) {
    append(name, identity, span, true);
  } else {
    recordUnknown(name);
  }
}

void OccurrenceIndex::recordUnknown(std::string_view name) {
  append(name, FileIdentity{}, OccurrenceSpan{}, false);
}

void OccurrenceIndex::append(std::string_view name, const FileIdentity& identity,
                             const OccurrenceSpan& span, bool known) {
  Pass& pass = *pass_;
  EntryRecord entry{identity, span, 0, static_cast<std::uint16_t>(name.size()),
                    known ? kKnown : std::uint8_t{0}, 0};
  if (!pass.copied) {
    if (pass.old != nullptr && pass.unchanged < pass.old->count) {
      const EntryRecord old = loaded_->entry(pass.old->first + pass.unchanged);
      if (loaded_->name(old) == name && sameRecord(old, entry)) {
        ++pass.unchanged;
        return;
      }
    }
    // The first difference: from here on the directory's entries are its own.
    for (std::size_t i = 0; i < pass.unchanged; ++i) {
      EntryRecord old = loaded_->entry(pass.old->first + i);
      const std::string_view oldName = loaded_->name(old);
      old.nameOffset = static_cast<std::uint32_t>(pass.current.names.size());
      pass.current.names.append(oldName).push_back('\0');
      pass.current.entries.push_back(old);
    }
    pass.copied = true;
  }
  entry.nameOffset = static_cast<std::uint32_t>(pass.current.names.size());
  pass.current.names.append(name).push_back('\0');
  pass.current.entries.push_back(entry);
}

void OccurrenceIndex::endDirectory(bool listedWhole) {
  Pass& pass = *pass_;
  Pass::Directory& current = pass.current;
  current.listed = listedWhole && trusted(current.identity);
  if (!pass.copied && pass.old != nullptr && pass.unchanged == pass.old->count &&
      pass.old->identity == current.identity && pass.old->listed == current.listed) {
    current.same = pass.old;
  } else {
    if (!pass.copied) {
      // Fewer entries than before, all of them unchanged: the rest were removed.
      for (std::size_t i = 0; i < pass.unchanged; ++i) {
        EntryRecord old = loaded_->entry(pass.old->first + i);
        const std::string_view oldName = loaded_->name(old);
        old.nameOffset = static_cast<std::uint32_t>(current.names.size());
        current.names.append(oldName).push_back('\0');
        current.entries.push_back(old);
      }
    }
    changed_ = true;
  }
  pass.done.push_back(std::move(current));
  pass.current = Pass::Directory{};
  pass.old = nullptr;
}

bool OccurrenceIndex::save() {
  // Loaded directories that no pass went over are kept as they are, if they are whole.
  std::vector<const Loaded::Directory*> kept;
  for (Loaded::Directory& directory : loaded_->directories) {
    if (directory.passed) continue;
    if (loaded_->check(directory)) {
      kept.push_back(&directory);
    } else {
      changed_ = true;
    }
  }
  if (!changed_) return true;

  // The directories to write, passed first, each with its entries where they are: in the
  // loaded index or in the pass. Nothing is gathered: the file is written in three walks over
  // them (directories, entries, names) through a small buffer.
  struct Written {
    std::string_view key;
    FileIdentity identity;
    bool listed;
    std::size_t count;
    const Loaded::Directory* loaded;  // or the pass's entries:
    const Pass::Directory* passed;
    std::size_t namesSize = 0;  // its key and its names, each name with its NUL
  };
  std::vector<Written> sources;
  for (const Pass::Directory& d : pass_->done) {
    sources.push_back({d.key, d.identity, d.listed, d.same ? d.same->count : d.entries.size(),
                       d.same, d.same ? nullptr : &d});
  }
  for (const Loaded::Directory* d : kept) {
    sources.push_back({d->key, d->identity, d->listed, d->count, d, nullptr});
  }
  const auto entryOf = [&](const Written& source, std::size_t i) {
    if (source.loaded != nullptr) {
      const EntryRecord e = loaded_->entry(source.loaded->first + i);
      return std::pair{e, loaded_->name(e)};
    }
    const EntryRecord& e = source.passed->entries[i];
    return std::pair{e, std::string_view(source.passed->names).substr(e.nameOffset, e.nameLength)};
  };
  std::size_t entryCount = 0, namesSize = 0;
  for (Written& source : sources) {
    source.namesSize = source.key.size();
    for (std::size_t i = 0; i < source.count; ++i) source.namesSize += entryOf(source, i).second.size() + 1;
    entryCount += source.count;
    namesSize += source.namesSize;
  }
  // Offsets and counts are 32-bit: an index beyond them is not written at all.
  if (namesSize > UINT32_MAX || entryCount > UINT32_MAX) return false;

  std::error_code error;
  std::filesystem::create_directories(file_.parent_path(), error);
  std::string temporary = file_.string() + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  IndexWriter out(fd);
  out.append(std::string_view(kMagic, sizeof kMagic));
  out.put(Header{kVersion, kByteOrderMark, static_cast<std::uint32_t>(root_.size()),
                 static_cast<std::uint32_t>(sources.size()), entryCount, namesSize});
  out.append(root_);
  out.pad();
  std::size_t firstEntry = 0, keyOffset = 0;
  for (const Written& source : sources) {
    out.put(DirectoryRecord{source.identity, static_cast<std::uint32_t>(keyOffset),
                            static_cast<std::uint32_t>(source.key.size()),
                            static_cast<std::uint32_t>(firstEntry),
                            static_cast<std::uint32_t>(source.count), source.listed ? kListed : 0u, 0});
    firstEntry += source.count;
    keyOffset += source.namesSize;
  }
  std::size_t nameOffset = 0;
  for (const Written& source : sources) {
    nameOffset += source.key.size();
    for (std::size_t i = 0; i < source.count; ++i) {
      auto [entry, name] = entryOf(source, i);
      entry.nameOffset = static_cast<std::uint32_t>(nameOffset);
      nameOffset += name.size() + 1;
      out.put(entry);
    }
  }
  for (const Written& source : sources) {
    out.append(source.key);
    for (std::size_t i = 0; i < source.count; ++i) {
      out.append(entryOf(source, i).second);
      out.append(std::string_view("", 1));
    }
  }
  out.pad();
  const bool written = out.finish();
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temporary.c_str(), file_.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  changed_ = false;
  return true;
}

}  // namespace vandrelis::store
