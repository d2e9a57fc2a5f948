// Info.plist files for test bundles by libplist (Linux). The same library reads the files,
// so these are checked against a known byte form below.
#include "plist_files.h"

#include <cstdlib>

#include <plist/plist.h>

#include "test_files.h"

namespace micdetector::testing {

std::string infoPlist(const std::map<std::string, PlistValue>& entries, bool binary) {
  plist_t dictionary = plist_new_dict();
  for (const auto& [key, value] : entries) {
    if (const auto* text = std::get_if<std::string>(&value)) {
      plist_dict_set_item(dictionary, key.c_str(), plist_new_string(text->c_str()));
    } else {
      plist_dict_set_item(dictionary, key.c_str(), plist_new_uint(std::get<std::uint64_t>(value)));
    }
  }
  char* bytes = nullptr;
  std::uint32_t length = 0;
  if (binary) {
    plist_to_bin(dictionary, &bytes, &length);
  } else {
    plist_to_xml(dictionary, &bytes, &length);
  }
  std::string result(bytes, length);
  std::free(bytes);
  plist_free(dictionary);
  return result;
}

void writeBundle(const std::string& directory, const std::map<std::string, PlistValue>& entries,
                 bool binary) {
  writeFile(directory + "/Contents/Info.plist", infoPlist(entries, binary));
}

}  // namespace micdetector::testing
