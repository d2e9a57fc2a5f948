// Reads an application bundle with Core Foundation's CFBundle.
#include <CoreFoundation/CoreFoundation.h>
#include <sys/stat.h>

#include <string>

#include "platform/bundle.h"

namespace micdetector {

struct Bundle::Info {
  explicit Info(CFBundleRef opened) : bundle(opened) {}
  ~Info() { CFRelease(bundle); }
  Info(const Info&) = delete;
  Info& operator=(const Info&) = delete;

  CFBundleRef bundle;  // owned: from CFBundleCreate
};

namespace {

// Every byte of the text; a character with no UTF-8 form comes out as the invalid byte 0xFF,
// which the writer replaces with U+FFFD.
std::string utf8(CFStringRef text) {
  const CFRange all = CFRangeMake(0, CFStringGetLength(text));
  CFIndex size = 0;
  CFStringGetBytes(text, all, kCFStringEncodingUTF8, 0xFF, false, nullptr, 0, &size);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  CFStringGetBytes(text, all, kCFStringEncodingUTF8, 0xFF, false,
                   reinterpret_cast<UInt8*>(bytes.data()), size, &size);
  bytes.resize(static_cast<std::size_t>(size));
  return bytes;
}

}  // namespace

std::optional<Bundle> Bundle::atDirectory(const std::string& directory) {
  struct stat status {};
  if (::stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return std::nullopt;
  CFURLRef url = CFURLCreateFromFileSystemRepresentation(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(directory.data()),
      static_cast<CFIndex>(directory.size()), true);
  if (url == nullptr) return Bundle(nullptr);
  // Create rule: both the URL and the bundle are ours to release.
  CFBundleRef bundle = CFBundleCreate(kCFAllocatorDefault, url);
  CFRelease(url);
  if (bundle == nullptr) return Bundle(nullptr);
  return Bundle(std::make_shared<const Info>(bundle));
}

std::optional<std::string> Bundle::bundleIdentifier() const {
  if (!info_) return std::nullopt;
  // Get rule: the identifier belongs to the bundle.
  CFStringRef identifier = CFBundleGetIdentifier(info_->bundle);
  if (identifier == nullptr) return std::nullopt;
  return utf8(identifier);
}

InfoValue Bundle::objectForInfoDictionaryKey(std::string_view key) const {
  if (!info_) return {};
  CFStringRef name = CFStringCreateWithBytes(kCFAllocatorDefault,
                                             reinterpret_cast<const UInt8*>(key.data()),
                                             static_cast<CFIndex>(key.size()),
                                             kCFStringEncodingUTF8, false);
  if (name == nullptr) return {};
  // Get rule; the localized value where the bundle has one, as NSBundle gives it.
  CFTypeRef value = CFBundleGetValueForInfoDictionaryKey(info_->bundle, name);
  CFRelease(name);
  if (value == nullptr) return {};
  if (CFGetTypeID(value) != CFStringGetTypeID()) return {InfoValue::Kind::other, {}};
  return {InfoValue::Kind::text, utf8(static_cast<CFStringRef>(value))};
}

}  // namespace micdetector
