// The statically linked program reads its own vdir tree, and hands a command that needs the
// desktop's Evolution Data Server to the shared-library build that can load it.
#include "store/composite_store.h"
#include "store/eds_hand_off_store.h"
#include "store/eds/eds_presence.h"
#include "store/platform_store.h"
#include "store/vdir/vdir_store.h"

namespace vandrelis::store {

std::unique_ptr<CalendarStore> makePlatformStore() {
  return std::make_unique<CompositeStore>(
      std::make_unique<VdirStore>(VdirStore::defaultRoot()),
      std::make_unique<EdsHandOffStore>(besideExecutable(kEdsProgramFile)));
}

}  // namespace vandrelis::store
