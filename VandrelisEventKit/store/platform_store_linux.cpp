// On Linux the helper reads its own vdir tree and the desktop's Evolution Data Server.
#include "store/composite_store.h"
#include "store/eds_store.h"
#include "store/platform_store.h"
#include "store/vdir_store.h"

namespace vandrelis::store {

std::unique_ptr<CalendarStore> makePlatformStore() {
  return std::make_unique<CompositeStore>(std::make_unique<VdirStore>(VdirStore::defaultRoot()),
                                          std::make_unique<EdsStore>());
}

}  // namespace vandrelis::store
