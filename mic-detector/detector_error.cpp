// The fixed description texts of the detector's errors.
#include "detector_error.h"

namespace micdetector {

std::string DetectorError::errorDescription() const {
  switch (kind) {
    case Kind::propertyUnavailable:
      return "Audio property unavailable for selector " + std::to_string(selector);
    case Kind::osStatus:
      return "CoreAudio call failed for selector " + std::to_string(selector) + " with status " +
             std::to_string(status);
  }
  return {};
}

}  // namespace micdetector
