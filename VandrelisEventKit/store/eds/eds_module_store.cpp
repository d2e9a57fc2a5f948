#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include <sys/stat.h>

#include "store/eds/eds_module.h"
#include "store/eds/eds_presence.h"
#include "store/notification_center.h"

namespace vandrelis::store {
namespace {

// True when the file is an ELF file whose loadable segments all lie within it. The loader maps
// segments without checking them against the file's length, so a module cut short (an update
// that was interrupted) would take the program down with SIGBUS at the first touch of a page
// past its end, instead of failing to load.
bool segmentsWithinFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  ElfW(Ehdr) header{};
  bool complete = ::fstat(fd, &info) == 0 &&
                  ::pread(fd, &header, sizeof header, 0) == sizeof header &&
                  std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
                  header.e_phentsize == sizeof(ElfW(Phdr));
  const auto size = static_cast<std::uint64_t>(info.st_size);
  for (std::size_t i = 0; complete && i < header.e_phnum; ++i) {
    ElfW(Phdr) segment{};
    const auto at = static_cast<off_t>(header.e_phoff + i * sizeof segment);
    complete = ::pread(fd, &segment, sizeof segment, at) == sizeof segment &&
               (segment.p_type != PT_LOAD ||
                (segment.p_offset <= size && segment.p_filesz <= size - segment.p_offset));
  }
  ::close(fd);
  return complete;
}

}  // namespace

EdsModuleStore::~EdsModuleStore() = default;  // the module itself stays loaded

#ifndef EVENTKIT_MODULE_FROM_PROGRAM
#error "EVENTKIT_MODULE_FROM_PROGRAM: the installed module's directory relative to the program's"
#endif

std::vector<std::string> EdsModuleStore::pathsFromExecutable() {
  const std::string directory = executableDirectory();
  if (directory.empty()) return {};
  return {directory + EVENTKIT_MODULE_FROM_PROGRAM "/" + kEdsModuleFile,
          directory + kEdsModuleFile};
}

CalendarStore* EdsModuleStore::store() const {
  std::call_once(once_, [this] {
    if (!edsSessionBusPresent() || !edsRegistryInstalled()) return;
    // RTLD_LOCAL: GLib, EDS and the module's own copy of the store code stay out of the
    // program's symbol lookups. A damaged or foreign file fails here, not in the program.
    for (const std::string& path : modulePaths_) {
      if (!segmentsWithinFile(path)) continue;
      void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (module == nullptr) continue;
      auto entry = reinterpret_cast<EdsModuleEntry>(::dlsym(module, kEdsModuleEntry));
      if (entry == nullptr) {
        ::dlclose(module);
        continue;
      }
      store_.reset(entry(
          [](void* self) {
            NotificationCenter::defaultCenter().post(kStoreChangedNotification, self);
          },
          const_cast<EdsModuleStore*>(this)));
      return;
    }
  });
  return store_.get();
}

bool EdsModuleStore::loaded() const { return store() != nullptr; }

CalendarList EdsModuleStore::calendarsForEvents() const {
  CalendarStore* inner = store();
  return inner != nullptr ? inner->calendarsForEvents() : CalendarList{};
}

std::shared_ptr<const Calendar> EdsModuleStore::defaultCalendarForNewEvents() const {
  CalendarStore* inner = store();
  return inner != nullptr ? inner->defaultCalendarForNewEvents() : nullptr;
}

EventList EdsModuleStore::eventsMatching(Instant start, Instant end,
                                         const CalendarList& calendars) const {
  CalendarStore* inner = store();
  return inner != nullptr ? inner->eventsMatching(start, end, calendars) : EventList{};
}

void EdsModuleStore::visitEventsMatching(Instant start, Instant end, const CalendarList& calendars,
                                         const std::function<void(const Event&)>& visit) const {
  if (CalendarStore* inner = store()) inner->visitEventsMatching(start, end, calendars, visit);
}

void EdsModuleStore::beginObservingChanges() {
  if (CalendarStore* inner = store()) inner->beginObservingChanges();
}

}  // namespace vandrelis::store
