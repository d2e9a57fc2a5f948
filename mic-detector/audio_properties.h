// The three kinds of audio property read the detector makes: a list of object identifiers, a
// 32-bit value, and a text.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "detector_error.h"
#include "platform/audio_layer.h"

namespace micdetector {

// The identifiers the read filled, in whole 4-byte entries: a list that shrank between the size
// read and the data read comes back shorter, never padded with unknown objects.
std::expected<std::vector<AudioObjectID>, DetectorError> getObjectIDs(
    AudioLayer& audio, AudioObjectID objectID, AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope);

// A 32-bit value in the global scope, or the read's status.
std::expected<std::uint32_t, OSStatus> getUInt32Property(AudioLayer& audio, AudioObjectID objectID,
                                                         AudioObjectPropertySelector selector);

// A text in the global scope; a missing property or a failed read gives nothing, a null
// string an empty text.
std::optional<std::string> getTextProperty(AudioLayer& audio, AudioObjectID objectID,
                                           AudioObjectPropertySelector selector);

}  // namespace micdetector
