// Root and permission of the Linux store. The permission is the file system's: the store is
// "granted" when its root is a directory the process can read and search.
#include "store/vdir/vdir_store.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <new>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#include "ical/ics_events.h"
#include "store/notification_center.h"
#include "store/vdir/occurrence_index.h"
#include "store/vdir/vdir_tree.h"
#include "store/vdir/vdir_watch.h"

namespace vandrelis::store {
namespace {

// mkdir -p with mode 0700 for every directory it creates. Returns 0 or the errno.
int makeDirectories(const std::filesystem::path& path) {
  std::filesystem::path partial;
  for (const auto& part : path) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) == 0) continue;
    if (errno != EEXIST) return errno;
    struct stat info;
    if (::stat(partial.c_str(), &info) != 0) return errno;
    if (!S_ISDIR(info.st_mode)) return ENOTDIR;
  }
  return 0;
}

// Larger files are not calendar items a person keeps; reading them whole would only cost
// memory.
constexpr std::size_t kItemLimit = 64 * 1024 * 1024;

// $HOME, else the user database's home: never a relative root, which would put calendars
// wherever the helper happens to be started.
std::filesystem::path homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return "/";
}

}  // namespace

VdirStore::VdirStore(std::filesystem::path root, VdirIndexOptions index)
    : root_(std::move(root)), indexOptions_(std::move(index)) {}

VdirStore::~VdirStore() = default;

std::filesystem::path VdirStore::defaultRoot() {
  std::filesystem::path dataHome;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    dataHome = xdg;
  } else {
    dataHome = homeDirectory() / ".local" / "share";
  }
  return dataHome / "vandrelis" / "calendars";
}

std::int64_t VdirStore::authorizationStatus() const {
  struct stat info;
  if (::stat(root_.c_str(), &info) != 0) {
    return errno == EACCES || errno == EPERM ? kStatusDenied : kStatusNotDetermined;
  }
  if (!S_ISDIR(info.st_mode)) return kStatusDenied;
  if (::access(root_.c_str(), R_OK | X_OK) != 0) return kStatusDenied;
  return kStatusFullAccess;
}

void VdirStore::requestFullAccessToEvents(AccessCompletion completion) {
  struct stat info;
  if (::stat(root_.c_str(), &info) == 0) {
    completion(authorizationStatus() == kStatusFullAccess, std::nullopt);
    return;
  }
  int error = makeDirectories(root_);
  if (error != 0) {
    completion(false, StoreError{strerror(error)});
    return;
  }
  completion(authorizationStatus() == kStatusFullAccess, std::nullopt);
}

CalendarList VdirStore::calendarsForEvents() const {
  VdirTree tree = readVdirTree(root_);
  return CalendarList(tree.calendars.begin(), tree.calendars.end());
}

std::shared_ptr<const Calendar> VdirStore::defaultCalendarForNewEvents() const {
  VdirTree tree = readVdirTree(root_);
  if (!tree.defaultCalendarIdentifier) return nullptr;
  for (const auto& calendar : tree.calendars) {
    if (calendar->identifier() == *tree.defaultCalendarIdentifier) return calendar;
  }
  return nullptr;
}

namespace {

// One occurrence as the query keeps it until it is visited: its VEVENT's shared data by
// number, and its three instants.
struct CompactOccurrence {
  Instant start;
  Instant end;
  Instant occurrenceDate;
  std::uint32_t data;
  std::uint8_t present;  // kHasStart | kHasEnd | kHasOccurrenceDate
};
constexpr std::uint8_t kHasStart = 1, kHasEnd = 2, kHasOccurrenceDate = 4;

std::optional<Instant> field(const CompactOccurrence& o, std::uint8_t bit, Instant value) {
  return (o.present & bit) != 0 ? std::optional<Instant>(value) : std::nullopt;
}

// Every item file's occurrences as a sorted run of its own, merged at the end: no large
// array is ever grown or sorted, and ties keep the order of the files as a stable sort of
// all of them would.
class OccurrenceRuns {
 public:
  // Adds one file's occurrences, sorted as the query orders them.
  void add(VdirEventList& events) {
    if (events.empty()) return;
    std::stable_sort(events.begin(), events.end(),
                     [](const auto& a, const auto& b) { return occursBefore(*a, *b); });
    std::vector<CompactOccurrence>& run = runs_.emplace_back();
    run.reserve(events.size());
    const VdirEventData* last = nullptr;
    std::uint32_t lastIndex = 0;
    for (const std::shared_ptr<const VdirEvent>& event : events) {
      // The occurrences of one VEVENT share its data; a file rarely has more than a few.
      if (event->data().get() != last) {
        last = event->data().get();
        auto known = std::find_if(data_.begin() + static_cast<std::ptrdiff_t>(fileDataStart_), data_.end(),
                                  [&](const auto& d) { return d.get() == last; });
        lastIndex = static_cast<std::uint32_t>(known - data_.begin());
        if (known == data_.end()) data_.push_back(event->data());
      }
      CompactOccurrence o{0, 0, 0, lastIndex, 0};
      if (auto v = event->startDate()) o.start = *v, o.present |= kHasStart;
      if (auto v = event->endDate()) o.end = *v, o.present |= kHasEnd;
      if (auto v = event->occurrenceDate()) o.occurrenceDate = *v, o.present |= kHasOccurrenceDate;
      run.push_back(o);
    }
    fileDataStart_ = data_.size();
  }

  // Moves another's runs after these, as though their files had been added here; leaves the
  // other empty.
  void append(OccurrenceRuns&& other) {
    const auto offset = static_cast<std::uint32_t>(data_.size());
    data_.insert(data_.end(), std::make_move_iterator(other.data_.begin()),
                 std::make_move_iterator(other.data_.end()));
    for (std::vector<CompactOccurrence>& run : other.runs_) {
      for (CompactOccurrence& o : run) o.data += offset;
      runs_.push_back(std::move(run));
    }
    fileDataStart_ = data_.size();
    other = OccurrenceRuns();
  }

  void visit(const std::function<void(const Event&)>& visit) const {
    std::vector<std::size_t> next(runs_.size(), 0);
    // A min-heap of run numbers by their next occurrence, the earlier run first on ties.
    const auto later = [&](std::size_t a, std::size_t b) {
      const int order = compare(runs_[a][next[a]], runs_[b][next[b]]);
      return order != 0 ? order > 0 : b < a;
    };
    std::vector<std::size_t> heap(runs_.size());
    for (std::size_t i = 0; i < heap.size(); ++i) heap[i] = i;
    std::make_heap(heap.begin(), heap.end(), later);
    while (!heap.empty()) {
      std::pop_heap(heap.begin(), heap.end(), later);
      const std::size_t run = heap.back();
      const CompactOccurrence& o = runs_[run][next[run]];
      const VdirEvent event(data_[o.data], field(o, kHasStart, o.start), field(o, kHasEnd, o.end),
                            field(o, kHasOccurrenceDate, o.occurrenceDate));
      visit(event);
      if (++next[run] < runs_[run].size()) {
        std::push_heap(heap.begin(), heap.end(), later);
      } else {
        heap.pop_back();
      }
    }
  }

 private:
  // occursBefore on the compact form, as a three-way comparison: negative when a comes first,
  // positive when b does. An absent instant comes before any other, as optionals order; as
  // there, instants that differ without either being less (NaN) end the comparison as a tie.
  static std::optional<int> compareInstant(const CompactOccurrence& a, const CompactOccurrence& b,
                                           std::uint8_t bit, Instant CompactOccurrence::*member) {
    const bool hasA = (a.present & bit) != 0, hasB = (b.present & bit) != 0;
    if (hasA != hasB) return hasA ? 1 : -1;
    if (!hasA || a.*member == b.*member) return std::nullopt;
    return a.*member < b.*member ? -1 : b.*member < a.*member ? 1 : 0;
  }
  int compare(const CompactOccurrence& a, const CompactOccurrence& b) const {
    if (auto order = compareInstant(a, b, kHasStart, &CompactOccurrence::start)) return *order;
    if (auto order = compareInstant(a, b, kHasEnd, &CompactOccurrence::end)) return *order;
    if (a.data != b.data) {
      if (int order = data_[a.data]->itemIdentifier.compare(data_[b.data]->itemIdentifier)) {
        return order;
      }
    }
    return compareInstant(a, b, kHasOccurrenceDate, &CompactOccurrence::occurrenceDate).value_or(0);
  }

  std::vector<std::shared_ptr<const VdirEventData>> data_;
  std::size_t fileDataStart_ = 0;
  std::vector<std::vector<CompactOccurrence>> runs_;
};

// The content of an item file opened in its directory; none when it cannot be opened or read,
// is not a regular file or is larger than the limit. `identity` is the file's as a stat by
// name gave it, or, when `statted` is false, is taken from the opened file (and is set even
// when the file is too large). Content newer than a stat's identity is harmless: recorded
// with the older identity, the file is read again next time.
std::optional<std::string> readItem(int directoryFd, const char* name, FileIdentity* identity,
                                    bool statted) {
  const int fd = ::openat(directoryFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> text;
  struct stat info;
  if (!statted) {
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      ::close(fd);
      return std::nullopt;
    }
    *identity = FileIdentity::of(info);
  }
  if (identity->size <= kItemLimit) {
    // One byte more than the expected size: a file that grew since shows it at once. A read
    // of a regular file returns less than asked only at its end.
    text.emplace(static_cast<std::size_t>(identity->size) + 1, '\0');
    std::size_t filled = 0;
    for (;;) {
      const ssize_t n = ::read(fd, text->data() + filled, text->size() - filled);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) text.reset();
      if (n <= 0) break;
      filled += static_cast<std::size_t>(n);
      if (filled < text->size()) break;
      if (text->size() > kItemLimit) {
        text.reset();
        break;
      }
      text->resize(std::min(text->size() * 2, kItemLimit + 1));
    }
    if (text) text->resize(filled);
  }
  ::close(fd);
  return text;
}

double secondsSinceEpoch() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

constexpr OccurrenceSpan kNoOccurrences{std::numeric_limits<Instant>::infinity(),
                                        -std::numeric_limits<Instant>::infinity()};

// What a query learns of one listed name.
struct Examined {
  bool regular = false;
  FileIdentity identity;
  std::optional<OccurrenceSpan> span;  // none: to be examined again next time
};

// A query's per-name array, tens of megabytes for a large calendar. Its memory is mapped on its
// own and, where the kernel offers it, backed by huge pages: filled all at once, a fresh array
// faulted in one 4 KiB page at a time costs more than the stats it records (about 13 µs a page
// on a virtual machine, some 11 ms for 50,000 names). Kept from one directory to the next.
template <typename T>
class QueryArray {
  static_assert(std::is_trivially_destructible_v<T> && std::is_trivially_copyable_v<T>);

 public:
  QueryArray() = default;
  ~QueryArray() {
    if (mapping_ != nullptr) ::munmap(mapping_, mappedBytes_);
  }
  QueryArray(const QueryArray&) = delete;
  QueryArray& operator=(const QueryArray&) = delete;

  // Holds `count` default values.
  void assign(std::size_t count) {
    if (count > capacity_) reserve(count);
    std::fill_n(data_, count, T{});
    size_ = count;
  }
  T& operator[](std::size_t i) { return data_[i]; }
  std::size_t size() const { return size_; }

 private:
  static constexpr std::size_t kHugePage = 2 * 1024 * 1024;

  void reserve(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T) - kHugePage) {
      throw std::bad_alloc();
    }
    const std::size_t bytes = (count * sizeof(T) + kHugePage - 1) / kHugePage * kHugePage;
    // One huge page more than asked, to start the array on a huge-page boundary.
    const std::size_t mapped = bytes + kHugePage;
    void* mapping = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::bad_alloc();
    const auto address = reinterpret_cast<std::uintptr_t>(mapping);
    auto* aligned = reinterpret_cast<char*>((address + kHugePage - 1) / kHugePage * kHugePage);
#ifdef MADV_HUGEPAGE
    ::madvise(aligned, bytes, MADV_HUGEPAGE);  // only advice: without it, small pages
#endif
    if (mapping_ != nullptr) ::munmap(mapping_, mappedBytes_);
    mapping_ = mapping;
    mappedBytes_ = mapped;
    data_ = reinterpret_cast<T*>(aligned);
    capacity_ = bytes / sizeof(T);
  }

  void* mapping_ = nullptr;
  std::size_t mappedBytes_ = 0;
  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Reads and parses one item, its occurrences in [start, end) added to `runs`; its span, or
// none when it could not be read. `found` is scratch space.
std::optional<OccurrenceSpan> readAndParse(int directoryFd, std::string_view name,
                                           FileIdentity* identity, bool statted, IcsItem& item,
                                           Instant start, Instant end, VdirEventList& found,
                                           OccurrenceRuns& runs) {
  std::optional<std::string> text = readItem(directoryFd, name.data(), identity, statted);
  if (!text) {
    // Too large: nothing of it is ever shown, so it can be passed over until it changes.
    return identity->size > kItemLimit ? std::optional<OccurrenceSpan>(kNoOccurrences)
                                       : std::nullopt;
  }
  const auto& calendar = static_cast<const VdirCalendar&>(*item.calendar);
  item.itemIdentifier =
      calendar.identifier() + "/" + identifierName(name.substr(0, name.size() - 4));
  found.clear();
  ItemSpan span;
  const bool parsed = appendIcsOccurrences(*text, item, start, end, found, &span);
  runs.add(found);
  return parsed ? OccurrenceSpan{span.earliest, span.latest} : kNoOccurrences;
}

// The directory as one part of a query uses it: the first part uses the query's own open
// file; every other part opens the directory again, since threads that share one open file
// contend on its reference count in every call made through it.
class OwnDirectory {
 public:
  OwnDirectory(int directoryFd, std::size_t part)
      : own_(part == 0 ? -1 : ::openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
        fd_(own_ >= 0 ? own_ : directoryFd) {}
  ~OwnDirectory() {
    if (own_ >= 0) ::close(own_);
  }
  OwnDirectory(const OwnDirectory&) = delete;
  OwnDirectory& operator=(const OwnDirectory&) = delete;
  int fd() const { return fd_; }

 private:
  int own_;
  int fd_;
};

// How many threads a query reads with: the processors there are, at most four, unless set.
std::size_t workerCount(std::size_t readers) {
  if (readers > 0) return readers;
  const unsigned processors = std::thread::hardware_concurrency();
  return std::clamp<std::size_t>(processors, 1, 4);
}

// Runs work(from, to, part) over [0, count) cut into contiguous parts, one per worker, the
// first on the calling thread; few items are not worth a thread. A part whose thread cannot
// be started runs on the calling thread; an exception of any part is rethrown.
template <typename Work>
void inParts(std::size_t count, std::size_t workers, const Work& work) {
  constexpr std::size_t kItemsPerThread = 32;
  const std::size_t parts = std::min(workers, count / kItemsPerThread);
  if (parts <= 1) {
    work(0, count, 0);
    return;
  }
  const std::size_t size = (count + parts - 1) / parts;
  std::vector<std::exception_ptr> failures(parts);
  std::vector<std::thread> threads;
  threads.reserve(parts);  // a thread started is always kept, to be joined
  const auto run = [&](std::size_t part) {
    try {
      work(part * size, std::min(count, (part + 1) * size), part);
    } catch (...) {
      failures[part] = std::current_exception();
    }
  };
  for (std::size_t part = 1; part < parts; ++part) {
    try {
      threads.emplace_back(run, part);
    } catch (const std::system_error&) {
      run(part);
    }
  }
  run(0);
  for (std::thread& thread : threads) thread.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

}  // namespace

void VdirStore::visitEventsMatching(Instant start, Instant end, const CalendarList& calendars,
                                    const std::function<void(const Event&)>& visit) const {
  std::optional<OccurrenceIndex> index;
  if (indexOptions_.enabled) {
    index.emplace(indexOptions_.file.value_or(OccurrenceIndex::defaultFile()), root_.string(),
                  indexOptions_.trustDelaySeconds);
    index->beginUpdate(secondsSinceEpoch());
  }
  lastQueryStats_ = {};
  const std::size_t workers = workerCount(readers_);
  OccurrenceRuns runs;
  std::vector<OccurrenceRuns> partRuns(workers);
  std::vector<VdirQueryStats> partStats(workers);
  std::vector<const Calendar*> seen;
  ItemLister lister;
  std::vector<std::string_view> names;
  QueryArray<Examined> examined;
  std::vector<std::size_t> toRead;
  for (const auto& calendar : calendars) {
    auto vdirCalendar = std::dynamic_pointer_cast<const VdirCalendar>(calendar);
    if (!vdirCalendar) continue;  // not one of this store's calendars
    if (std::find(seen.begin(), seen.end(), calendar.get()) != seen.end()) continue;
    seen.push_back(calendar.get());
    const int directoryFd =
        ::open(vdirCalendar->directory().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd < 0) continue;
    const IcsItem item{vdirCalendar, {}, [vdirCalendar](std::string_view address) {
                         return vdirCalendar->vdirSource().isOwnAddress(address);
                       }};
    // Reads the listed items named by `which` (indices into `names`), in parts side by side;
    // each part's occurrences go to runs of its own, joined in the parts' order, which is the
    // names' order.
    const auto readAll = [&](const std::vector<std::size_t>& which, bool statted) {
      inParts(which.size(), workers, [&](std::size_t from, std::size_t to, std::size_t part) {
        const OwnDirectory directory(directoryFd, part);
        IcsItem own = item;
        VdirEventList found;
        for (std::size_t k = from; k < to; ++k) {
          Examined& e = examined[which[k]];
          ++partStats[part].read;
          e.span = readAndParse(directory.fd(), names[which[k]], &e.identity, statted, own, start,
                                end, found, partRuns[part]);
        }
      });
      for (OccurrenceRuns& part : partRuns) runs.append(std::move(part));
    };

    if (!index) {
      lister.list(directoryFd);
      names.clear();
      for (const ItemLister::Entry& entry : lister.entries()) names.push_back(entry.name);
      examined.assign(names.size());
      // Entries whose type the listing does not tell are examined first.
      inParts(names.size(), workers, [&](std::size_t from, std::size_t to, std::size_t) {
        for (std::size_t i = from; i < to; ++i) {
          struct stat info;
          examined[i].regular =
              lister.entries()[i].type == DT_REG ||
              (::fstatat(directoryFd, names[i].data(), &info, 0) == 0 && S_ISREG(info.st_mode));
        }
      });
      toRead.clear();
      for (std::size_t i = 0; i < names.size(); ++i) {
        if (examined[i].regular) toRead.push_back(i);
      }
      lastQueryStats_.items += toRead.size();
      readAll(toRead, false);
      ::close(directoryFd);
      continue;
    }

    // The directory's identity before its listing: a change after it shows next time.
    struct stat directoryInfo;
    const bool identified = ::fstat(directoryFd, &directoryInfo) == 0;
    const FileIdentity directoryIdentity =
        identified ? FileIdentity::of(directoryInfo) : FileIdentity{};
    bool listedWhole = true;
    if (!index->beginDirectory(vdirCalendar->identifier(), directoryIdentity, &names) ||
        !identified) {
      listedWhole = lister.list(directoryFd) && identified;
      names.clear();
      for (const ItemLister::Entry& entry : lister.entries()) names.push_back(entry.name);
    }
    // Every name's identity, following links as the listing does: only regular files are
    // items. The stats are most of a query the index serves, so they run in parts too.
    examined.assign(names.size());
    inParts(names.size(), workers, [&](std::size_t from, std::size_t to, std::size_t part) {
      const OwnDirectory directory(directoryFd, part);
      for (std::size_t i = from; i < to; ++i) {
        struct stat info;
        if (::fstatat(directory.fd(), names[i].data(), &info, 0) == 0 && S_ISREG(info.st_mode)) {
          examined[i].regular = true;
          examined[i].identity = FileIdentity::of(info);
        }
      }
    });
    toRead.clear();
    for (std::size_t i = 0; i < names.size(); ++i) {
      Examined& e = examined[i];
      if (!e.regular) continue;
      ++lastQueryStats_.items;
      e.span = index->lookUp(names[i], e.identity);
      if (!e.span || e.span->mayTouch(start, end)) toRead.push_back(i);
    }
    readAll(toRead, true);
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (examined[i].regular && examined[i].span) {
        index->record(names[i], examined[i].identity, *examined[i].span);
      } else {
        index->recordUnknown(names[i]);
      }
    }
    index->endDirectory(listedWhole);
    ::close(directoryFd);
  }
  if (index) index->save();  // a cache: when it cannot be written, the next query reads more
  for (const VdirQueryStats& part : partStats) lastQueryStats_.read += part.read;
  runs.visit(visit);
}

EventList VdirStore::eventsMatching(Instant start, Instant end,
                                    const CalendarList& calendars) const {
  EventList events;
  visitEventsMatching(start, end, calendars, [&](const Event& event) {
    events.push_back(std::make_shared<VdirEvent>(static_cast<const VdirEvent&>(event)));
  });
  return events;
}

void VdirStore::beginObservingChanges() {
  std::lock_guard lock(watchMutex_);
  if (watch_) return;
  watch_ = std::make_unique<VdirWatch>(root_, [this] {
    NotificationCenter::defaultCenter().post(kStoreChangedNotification, this);
  });
}

}  // namespace vandrelis::store
