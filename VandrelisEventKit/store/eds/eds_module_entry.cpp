// The entry of the EDS module: an EDS store whose change notices, posted on the module's own
// notification center, are handed to the program's callback.
#include <mutex>
#include <optional>

#include "store/eds/eds_module.h"
#include "store/eds/eds_store.h"
#include "store/notification_center.h"

namespace vandrelis::store {
namespace {

class ForwardingEdsStore final : public EdsStore {
 public:
  ForwardingEdsStore(EdsChangeCallback changed, void* context)
      : changed_(changed), context_(context) {}
  ~ForwardingEdsStore() override {
    if (token_) NotificationCenter::defaultCenter().removeObserver(*token_);
  }

  void beginObservingChanges() override {
    {
      std::lock_guard lock(mutex_);
      if (!token_) {
        token_ = NotificationCenter::defaultCenter().addObserver(kStoreChangedNotification, this,
                                                                 [this] { changed_(context_); });
      }
    }
    EdsStore::beginObservingChanges();
  }

 private:
  EdsChangeCallback changed_;
  void* context_;
  std::mutex mutex_;
  std::optional<NotificationCenter::Token> token_;
};

}  // namespace
}  // namespace vandrelis::store

extern "C" __attribute__((visibility("default"))) vandrelis::store::CalendarStore*
vandrelis_eds_store_v1(vandrelis::store::EdsChangeCallback changed, void* context) {
  return new vandrelis::store::ForwardingEdsStore(changed, context);
}
