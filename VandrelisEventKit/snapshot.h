// The snapshot command: the events of a time window in the chosen calendars, as one JSON
// document on standard output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "store/calendar_store.h"

namespace vandrelis {

// The argument right after the first occurrence of `option`, verbatim. Throws
// HelperError::invalidArguments "Missing <option>" when the option is absent or last.
const std::string& valueAfter(std::string_view option, const std::vector<std::string>& arguments);

// Checks the permission and the arguments, queries the store and returns the JSON document
// (without its line feed). Throws HelperError before anything is queried when a check fails.
std::string snapshotDocument(const store::CalendarStore& store,
                             const std::vector<std::string>& arguments);

// The command: the document above, written to `fd` with its line feed.
void snapshot(const store::CalendarStore& store, const std::vector<std::string>& arguments,
              int fd = 1);

}  // namespace vandrelis
