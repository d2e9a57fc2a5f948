// One run of the helper: the command word, the store, the dispatch, and the one report line
// on standard error for any failure.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store/calendar_store.h"

namespace vandrelis {

using StoreFactory = std::function<std::shared_ptr<store::CalendarStore>()>;

inline constexpr const char* kUsage =
    "Usage: vandrelis-eventkit <status|authorize|list-calendars|snapshot|watch>";

// `arguments` excludes the program path. Returns the exit status (0 or 1). The store is made
// only when there is a command word.
int runHelper(const std::vector<std::string>& arguments, const StoreFactory& makeStore);

// Writes "vandrelis-eventkit: " + description + "\n" on standard error in one write, with
// ill-formed UTF-8 replaced.
void reportFailure(std::string_view description);

}  // namespace vandrelis
