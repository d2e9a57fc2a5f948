// Zones read from TZif files, the system database's format.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "ical/time_zone.h"

namespace vandrelis::store {

// Null when the bytes are not a TZif file this reader can use.
std::shared_ptr<const TimeZone> parseTzif(std::string_view bytes);
// Null when the path is not a regular file, is larger than any real zone file, or does not read.
std::shared_ptr<const TimeZone> readTzifFile(const std::string& path);

}  // namespace vandrelis::store
