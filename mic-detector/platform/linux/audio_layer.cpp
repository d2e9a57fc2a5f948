// The audio layer on Linux: the user's sound server, PulseAudio or PipeWire through its
// PulseAudio interface, found as every PulseAudio client finds it.
#include "platform/audio_layer.h"
#include "platform/linux/process_lookup_cache.h"
#include "platform/linux/pulse_audio_layer.h"
#include "platform/linux/pulse_connection.h"

namespace micdetector {

std::unique_ptr<AudioLayer> makeSystemAudioLayer() {
  // Its pictures tell the system's lookups which processes stay the same from poll to poll.
  return std::make_unique<PulseAudioLayer>(std::make_unique<PulseConnection>(), nullptr,
                                           &systemProcessLookupCache());
}

}  // namespace micdetector
