// The system audio layer as the detector reads it: objects with properties, read in the three
// calls of the platform's hardware abstraction layer, each answering with the layer's status.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace micdetector {

using AudioObjectID = std::uint32_t;
using AudioObjectPropertySelector = std::uint32_t;
using AudioObjectPropertyScope = std::uint32_t;
using AudioObjectPropertyElement = std::uint32_t;
using OSStatus = std::int32_t;

// Four ASCII characters read as one big-endian number.
constexpr std::uint32_t fourCharCode(const char (&code)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

constexpr AudioObjectID kAudioObjectUnknown = 0;
constexpr AudioObjectID kAudioObjectSystemObject = 1;

constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = fourCharCode("inpt");
constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;

constexpr AudioObjectPropertySelector kAudioHardwarePropertyProcessObjectList =
    fourCharCode("prs#");
constexpr AudioObjectPropertySelector kAudioProcessPropertyIsRunningInput = fourCharCode("piri");
constexpr AudioObjectPropertySelector kAudioProcessPropertyPID = fourCharCode("ppid");
constexpr AudioObjectPropertySelector kAudioProcessPropertyDevices = fourCharCode("pdv#");
constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = fourCharCode("uid ");
constexpr AudioObjectPropertySelector kAudioObjectPropertyName = fourCharCode("lnam");
constexpr AudioObjectPropertySelector kAudioProcessPropertyBundleID = fourCharCode("pbid");

// Status codes the layers here answer with (the platform's own values where it has one).
constexpr OSStatus kAudioHardwareNoError = 0;
constexpr OSStatus kAudioHardwareUnknownPropertyError = static_cast<OSStatus>(fourCharCode("who?"));
constexpr OSStatus kAudioHardwareBadObjectError = static_cast<OSStatus>(fourCharCode("!obj"));
constexpr OSStatus kAudioHardwareNotRunningError = static_cast<OSStatus>(fourCharCode("stop"));
constexpr OSStatus kAudioHardwareBadPropertySizeError = static_cast<OSStatus>(fourCharCode("!siz"));
constexpr OSStatus kAudioHardwareIllegalOperationError =
    static_cast<OSStatus>(fourCharCode("nope"));

struct AudioObjectPropertyAddress {
  AudioObjectPropertySelector mSelector = 0;
  AudioObjectPropertyScope mScope = kAudioObjectPropertyScopeGlobal;
  AudioObjectPropertyElement mElement = kAudioObjectPropertyElementMain;
};

// Every call may see a different state of the layer than the call before it.
class AudioLayer {
 public:
  virtual ~AudioLayer() = default;

  virtual bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) = 0;

  // The size in bytes of the property's current value.
  virtual OSStatus getPropertyDataSize(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       std::uint32_t& size) = 0;

  // Reads the value into `data`, which holds `ioSize` bytes; on success `ioSize` becomes the
  // number of bytes filled, which may be fewer than asked for.
  virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   std::uint32_t& ioSize, void* data) = 0;

  // Reads a text property. The caller presets `text` to an empty string; on success the layer
  // stores the text, or nullopt for a null string reference, or leaves it untouched.
  virtual OSStatus getPropertyText(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   std::optional<std::string>& text) = 0;
};

// The audio layer of the system the program runs on.
std::unique_ptr<AudioLayer> makeSystemAudioLayer();

}  // namespace micdetector
