// The permission word, the gate that the reading commands pass first, and the two commands
// that report the permission.
#pragma once

#include <cstdint>
#include <string>

#include "store/calendar_store.h"

namespace vandrelis {

// The word for a store authorization status: "granted", "denied", ... or "unknown".
std::string permissionWord(std::int64_t status);

// Read afresh from the store each time.
std::string authorizationStatus(const store::CalendarStore& store);

// Throws HelperError::permissionDenied unless the permission word is "granted".
void requirePermission(const store::CalendarStore& store);

// Asks the store for read access to events and waits for the answer. Throws PlatformError
// with the store's description when the request itself fails.
void requestAccess(store::CalendarStore& store);

// The `status` and `authorize` commands.
void status(const store::CalendarStore& store);
void authorize(store::CalendarStore& store);

}  // namespace vandrelis
