// Why a property read, and so a poll, failed.
#pragma once

#include <cstdint>
#include <string>

#include "platform/audio_layer.h"

namespace micdetector {

struct DetectorError {
  enum class Kind { propertyUnavailable, osStatus };

  Kind kind = Kind::propertyUnavailable;
  AudioObjectPropertySelector selector = 0;
  OSStatus status = 0;  // for osStatus

  static DetectorError propertyUnavailable(AudioObjectPropertySelector selector) {
    return {Kind::propertyUnavailable, selector, 0};
  }
  static DetectorError osStatus(AudioObjectPropertySelector selector, OSStatus status) {
    return {Kind::osStatus, selector, status};
  }

  // Selectors and statuses in decimal, never as their four characters.
  std::string errorDescription() const;

  bool operator==(const DetectorError&) const = default;
};

}  // namespace micdetector
