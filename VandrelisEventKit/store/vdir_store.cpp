// Root and permission of the Linux store. The permission is the file system's: the store is
// "granted" when its root is a directory the process can read and search.
#include "store/vdir_store.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "store/platform_store.h"

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

}  // namespace

VdirStore::VdirStore(std::filesystem::path root) : root_(std::move(root)) {}

std::filesystem::path VdirStore::defaultRoot() {
  std::filesystem::path dataHome;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && *xdg != '\0') {
    dataHome = xdg;
  } else {
    const char* home = std::getenv("HOME");
    dataHome = std::filesystem::path(home != nullptr ? home : "") / ".local" / "share";
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

CalendarList VdirStore::calendarsForEvents() const { return {}; }

std::shared_ptr<const Calendar> VdirStore::defaultCalendarForNewEvents() const { return nullptr; }

EventList VdirStore::eventsMatching(Instant, Instant, const CalendarList&) const { return {}; }

std::unique_ptr<CalendarStore> makePlatformStore() {
  return std::make_unique<VdirStore>(VdirStore::defaultRoot());
}

}  // namespace vandrelis::store
