// The store the shipped program uses on this platform.
#pragma once

#include <memory>

#include "store/calendar_store.h"

namespace vandrelis::store {

std::unique_ptr<CalendarStore> makePlatformStore();

}  // namespace vandrelis::store
