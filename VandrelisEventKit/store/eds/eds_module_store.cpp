#include <dlfcn.h>

#include "store/eds/eds_module.h"
#include "store/eds/eds_presence.h"
#include "store/notification_center.h"

namespace vandrelis::store {

EdsModuleStore::~EdsModuleStore() = default;  // the module itself stays loaded

std::string EdsModuleStore::besideExecutable() { return store::besideExecutable(kEdsModuleFile); }

CalendarStore* EdsModuleStore::store() const {
  std::call_once(once_, [this] {
    if (!edsSessionBusPresent() || !edsRegistryInstalled()) return;
    // RTLD_LOCAL: GLib, EDS and the module's own copy of the store code stay out of the
    // program's symbol lookups.
    void* module = ::dlopen(modulePath_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) return;
    auto entry = reinterpret_cast<EdsModuleEntry>(::dlsym(module, kEdsModuleEntry));
    if (entry == nullptr) return;
    store_.reset(entry(
        [](void* self) {
          NotificationCenter::defaultCenter().post(kStoreChangedNotification, self);
        },
        const_cast<EdsModuleStore*>(this)));
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
