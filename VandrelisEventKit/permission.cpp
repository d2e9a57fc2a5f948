// The access request completes on a thread of the store's choosing; the caller blocks on a
// future until it does, and reads the outcome from the status afterwards.
#include "permission.h"

#include <future>
#include <optional>

#include "helper_error.h"
#include "json_writer.h"

namespace vandrelis {

std::string permissionWord(std::int64_t status) {
  switch (status) {
    case store::kStatusNotDetermined: return "not-determined";
    case store::kStatusRestricted: return "restricted";
    case store::kStatusDenied: return "denied";
    case store::kStatusFullAccess: return "granted";
    case store::kStatusWriteOnly: return "write-only";
    default: return "unknown";
  }
}

std::string authorizationStatus(const store::CalendarStore& store) {
  return permissionWord(store.authorizationStatus());
}

void requirePermission(const store::CalendarStore& store) {
  if (authorizationStatus(store) != "granted") throw HelperError::permissionDenied();
}

void requestAccess(store::CalendarStore& store) {
  auto promise = std::make_shared<std::promise<std::optional<store::StoreError>>>();
  std::future<std::optional<store::StoreError>> outcome = promise->get_future();
  store.requestFullAccessToEvents(
      [promise](bool /*granted*/, std::optional<store::StoreError> error) {
        promise->set_value(std::move(error));
      });
  if (std::optional<store::StoreError> error = outcome.get()) {
    throw PlatformError(error->description);
  }
}

void status(const store::CalendarStore& store) {
  writeJson(PermissionOutput{authorizationStatus(store)});
}

void authorize(store::CalendarStore& store) {
  requestAccess(store);
  writeJson(PermissionOutput{authorizationStatus(store)});
}

}  // namespace vandrelis
