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

// The command: checks the permission and the arguments (throwing HelperError before anything
// is queried or written), queries the store, and writes the SnapshotOutput document with its
// line feed to `fd`, encoding and writing each event as it comes so that memory does not
// grow with the document.
void snapshot(const store::CalendarStore& store, const std::vector<std::string>& arguments,
              int fd = 1);

}  // namespace vandrelis
