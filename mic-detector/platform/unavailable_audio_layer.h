// An audio layer without a process list, as on a system that cannot tell which processes
// capture audio: every poll then fails and says so.
#pragma once

#include "audio_layer.h"

namespace micdetector {

class UnavailableAudioLayer final : public AudioLayer {
 public:
  bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) override;
  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t& size) override;
  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t& ioSize, void* data) override;
  OSStatus getPropertyText(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::optional<std::string>& text) override;
};

}  // namespace micdetector
