// Every read the detector makes of the audio layer passes through here.
#include "audio_properties.h"

#include <algorithm>

namespace micdetector {

std::expected<std::vector<AudioObjectID>, DetectorError> getObjectIDs(
    AudioLayer& audio, AudioObjectID objectID, AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope) {
  const AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
  if (!audio.hasProperty(objectID, address)) {
    return std::unexpected(DetectorError::propertyUnavailable(selector));
  }
  std::uint32_t size = 0;
  if (OSStatus status = audio.getPropertyDataSize(objectID, address, size); status != 0) {
    return std::unexpected(DetectorError::osStatus(selector, status));
  }
  const std::size_t count = size / sizeof(AudioObjectID);
  if (count == 0) return std::vector<AudioObjectID>();
  std::vector<AudioObjectID> objects(count, kAudioObjectUnknown);
  std::uint32_t filled = static_cast<std::uint32_t>(count * sizeof(AudioObjectID));
  if (OSStatus status = audio.getPropertyData(objectID, address, filled, objects.data());
      status != 0) {
    return std::unexpected(DetectorError::osStatus(selector, status));
  }
  // Entries the read did not fill would name object 0, which no poll can read.
  objects.resize(std::min(count, filled / sizeof(AudioObjectID)));
  return objects;
}

std::expected<std::uint32_t, OSStatus> getUInt32Property(AudioLayer& audio, AudioObjectID objectID,
                                                         AudioObjectPropertySelector selector) {
  const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                           kAudioObjectPropertyElementMain};
  std::uint32_t value = 0;
  std::uint32_t size = sizeof value;
  if (OSStatus status = audio.getPropertyData(objectID, address, size, &value); status != 0) {
    return std::unexpected(status);
  }
  return value;
}

std::optional<std::string> getTextProperty(AudioLayer& audio, AudioObjectID objectID,
                                           AudioObjectPropertySelector selector) {
  const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                           kAudioObjectPropertyElementMain};
  if (!audio.hasProperty(objectID, address)) return std::nullopt;
  std::optional<std::string> text = std::string();
  if (audio.getPropertyText(objectID, address, text) != 0) return std::nullopt;
  return text ? std::move(*text) : std::string();
}

}  // namespace micdetector
