// The running application of a pid from AppKit's NSRunningApplication.
#include "platform/running_applications.h"

#import <AppKit/AppKit.h>

#include <string>

#if !__has_feature(objc_arc)
#error "Build with -fobjc-arc"
#endif

namespace micdetector {
namespace {

// Every byte of the text; a character with no UTF-8 form comes out as the invalid byte 0xFF,
// which the writer replaces with U+FFFD.
std::optional<std::string> utf8(NSString* text) {
  if (text == nil) return std::nullopt;
  CFStringRef string = (__bridge CFStringRef)text;
  const CFRange all = CFRangeMake(0, CFStringGetLength(string));
  CFIndex size = 0;
  CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0xFF, false, nullptr, 0, &size);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0xFF, false,
                   reinterpret_cast<UInt8*>(bytes.data()), size, &size);
  bytes.resize(static_cast<std::size_t>(size));
  return bytes;
}

class AppKitRunningApplications final : public RunningApplications {
 public:
  std::optional<RunningApplication> applicationWithProcessIdentifier(std::int32_t pid) override {
    // Polls run on the detector's own thread, which has no autorelease pool of its own.
    @autoreleasepool {
      NSRunningApplication* application =
          [NSRunningApplication runningApplicationWithProcessIdentifier:pid];
      if (application == nil) return std::nullopt;
      return RunningApplication{utf8(application.bundleIdentifier),
                                utf8(application.localizedName)};
    }
  }
};

}  // namespace

std::unique_ptr<RunningApplications> makeSystemRunningApplications() {
  return std::make_unique<AppKitRunningApplications>();
}

}  // namespace micdetector
