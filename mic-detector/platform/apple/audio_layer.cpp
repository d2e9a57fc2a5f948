// The audio layer on macOS: the CoreAudio hardware abstraction layer, each call passed straight
// through with no qualifier. The process objects and their properties exist from macOS 14.2;
// on earlier systems the system object lacks the process list, and the three calls answer so.
#include <CoreAudio/AudioHardware.h>
#include <CoreFoundation/CoreFoundation.h>

#include <string>

#include "platform/audio_layer.h"

namespace micdetector {
namespace {

::AudioObjectPropertyAddress platformAddress(const AudioObjectPropertyAddress& address) {
  return {address.mSelector, address.mScope, address.mElement};
}

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

class CoreAudioLayer final : public AudioLayer {
 public:
  bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) override {
    const ::AudioObjectPropertyAddress platform = platformAddress(address);
    return ::AudioObjectHasProperty(object, &platform) != 0;
  }

  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t& size) override {
    const ::AudioObjectPropertyAddress platform = platformAddress(address);
    return ::AudioObjectGetPropertyDataSize(object, &platform, 0, nullptr, &size);
  }

  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t& ioSize, void* data) override {
    const ::AudioObjectPropertyAddress platform = platformAddress(address);
    return ::AudioObjectGetPropertyData(object, &platform, 0, nullptr, &ioSize, data);
  }

  OSStatus getPropertyText(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::optional<std::string>& text) override {
    const ::AudioObjectPropertyAddress platform = platformAddress(address);
    CFStringRef value = nullptr;
    UInt32 size = sizeof value;
    const OSStatus status = ::AudioObjectGetPropertyData(object, &platform, 0, nullptr, &size,
                                                         &value);
    if (status != 0) return status;
    if (value == nullptr) {
      text = std::nullopt;
      return status;
    }
    text = utf8(value);
    // A property of a Core Foundation type is handed over retained: the reader releases it.
    CFRelease(value);
    return status;
  }
};

}  // namespace

std::unique_ptr<AudioLayer> makeSystemAudioLayer() { return std::make_unique<CoreAudioLayer>(); }

}  // namespace micdetector
