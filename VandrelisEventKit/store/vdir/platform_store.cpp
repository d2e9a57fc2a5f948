// On Linux the helper reads its own vdir tree and the desktop's Evolution Data Server, the
// latter through a module loaded only when a command needs calendars.
#include "store/composite_store.h"
#include "store/eds/eds_module.h"
#include "store/platform_store.h"
#include "store/vdir/vdir_store.h"

namespace vandrelis::store {

std::unique_ptr<CalendarStore> makePlatformStore() {
  return std::make_unique<CompositeStore>(
      std::make_unique<VdirStore>(VdirStore::defaultRoot()),
      std::make_unique<EdsModuleStore>(EdsModuleStore::pathsFromExecutable()));
}

}  // namespace vandrelis::store
