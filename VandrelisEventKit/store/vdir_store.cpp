// Root and permission of the Linux store. The permission is the file system's: the store is
// "granted" when its root is a directory the process can read and search.
#include "store/vdir_store.h"

#include <errno.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "store/ics_events.h"
#include "store/notification_center.h"
#include "store/vdir_tree.h"
#include "store/vdir_watch.h"

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

VdirStore::VdirStore(std::filesystem::path root) : root_(std::move(root)) {}

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

EventList VdirStore::eventsMatching(Instant start, Instant end,
                                    const CalendarList& calendars) const {
  VdirEventList found;
  std::vector<const Calendar*> seen;
  for (const auto& calendar : calendars) {
    auto vdirCalendar = std::dynamic_pointer_cast<const VdirCalendar>(calendar);
    if (!vdirCalendar) continue;  // not one of this store's calendars
    if (std::find(seen.begin(), seen.end(), calendar.get()) != seen.end()) continue;
    seen.push_back(calendar.get());
    const std::filesystem::path& directory = vdirCalendar->directory();
    IcsItem item{vdirCalendar, {}, [vdirCalendar](std::string_view address) {
                   return vdirCalendar->vdirSource().isOwnAddress(address);
                 }};
    for (const std::string& name : listItems(directory)) {
      std::optional<std::string> text = readRegularFile(directory / name, kItemLimit);
      if (!text) continue;
      item.itemIdentifier =
          vdirCalendar->identifier() + "/" + identifierName(name.substr(0, name.size() - 4));
      appendIcsOccurrences(*text, item, start, end, found);
    }
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return occursBefore(*a, *b); });
  return EventList(found.begin(), found.end());
}

void VdirStore::beginObservingChanges() {
  std::lock_guard lock(watchMutex_);
  if (watch_) return;
  watch_ = std::make_unique<VdirWatch>(root_, [this] {
    NotificationCenter::defaultCenter().post(kStoreChangedNotification, this);
  });
}

}  // namespace vandrelis::store
