// Writes Info.plist files for test bundles, in XML or binary form: with libplist on Linux
// (plist_files_libplist.cpp), with CoreFoundation on Apple (plist_files_cf.cpp).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>

namespace micdetector::testing {

using PlistValue = std::variant<std::string, std::uint64_t>;

std::string infoPlist(const std::map<std::string, PlistValue>& entries, bool binary);

// Creates <directory>/Contents/Info.plist.
void writeBundle(const std::string& directory, const std::map<std::string, PlistValue>& entries,
                 bool binary);

}  // namespace micdetector::testing
