// Info.plist files for test bundles by CoreFoundation (Apple), the system's own writer, so
// that the tests need nothing from outside the system either.
#include "plist_files.h"

#include <CoreFoundation/CoreFoundation.h>

#include <cstdlib>
#include <string_view>

#include "test_files.h"

namespace micdetector::testing {
namespace {

CFStringRef cfString(std::string_view text) {
  CFStringRef string =
      CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                              static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
  if (string == nullptr) std::abort();  // not UTF-8: no test writes such a value
  return string;
}

}  // namespace

std::string infoPlist(const std::map<std::string, PlistValue>& entries, bool binary) {
  CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  for (const auto& [key, value] : entries) {
    CFStringRef cfKey = cfString(key);
    CFTypeRef cfValue = nullptr;
    if (const auto* text = std::get_if<std::string>(&value)) {
      cfValue = cfString(*text);
    } else {
      const auto number = static_cast<SInt64>(std::get<std::uint64_t>(value));
      cfValue = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &number);
    }
    CFDictionarySetValue(dictionary, cfKey, cfValue);
    CFRelease(cfValue);
    CFRelease(cfKey);
  }
  CFDataRef data = CFPropertyListCreateData(
      kCFAllocatorDefault, dictionary,
      binary ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0, 0, nullptr);
  CFRelease(dictionary);
  if (data == nullptr) std::abort();
  std::string result(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                     static_cast<std::size_t>(CFDataGetLength(data)));
  CFRelease(data);
  return result;
}

void writeBundle(const std::string& directory, const std::map<std::string, PlistValue>& entries,
                 bool binary) {
  writeFile(directory + "/Contents/Info.plist", infoPlist(entries, binary));
}

}  // namespace micdetector::testing
