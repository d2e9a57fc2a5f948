// Knows no objects: no property exists and every read fails as for an unknown object.
#include "unavailable_audio_layer.h"

namespace micdetector {

bool UnavailableAudioLayer::hasProperty(AudioObjectID, const AudioObjectPropertyAddress&) {
  return false;
}

OSStatus UnavailableAudioLayer::getPropertyDataSize(AudioObjectID,
                                                    const AudioObjectPropertyAddress&,
                                                    std::uint32_t& size) {
  size = 0;
  return kAudioHardwareBadObjectError;
}

OSStatus UnavailableAudioLayer::getPropertyData(AudioObjectID, const AudioObjectPropertyAddress&,
                                                std::uint32_t& ioSize, void*) {
  ioSize = 0;
  return kAudioHardwareBadObjectError;
}

OSStatus UnavailableAudioLayer::getPropertyText(AudioObjectID, const AudioObjectPropertyAddress&,
                                                std::optional<std::string>&) {
  return kAudioHardwareBadObjectError;
}

}  // namespace micdetector
