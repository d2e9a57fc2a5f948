// The audio layer on a PulseAudio-protocol sound server: the server's recording clients appear
// as process objects and its sources as device objects.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/audio_layer.h"
#include "platform/linux/process_end_watch.h"
#include "platform/linux/process_lookup_cache.h"
#include "platform/linux/pulse_server_state.h"

namespace micdetector {

class PulseAudioLayer final : public AudioLayer {
 public:
  // `processExists` tells whether a process id names a process now; by default, whether the
  // process of the picture has ended, as the system tells. `lookups`, when given, is told of
  // the processes of every new picture.
  explicit PulseAudioLayer(std::unique_ptr<PulseServerReader> server,
                           std::function<bool(std::int32_t)> processExists = {},
                           ProcessLookupCache* lookups = nullptr);

  bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) override;
  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t& size) override;
  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t& ioSize, void* data) override;
  OSStatus getPropertyText(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::optional<std::string>& text) override;

 private:
  struct Process {
    std::int32_t pid = 0;
    bool runningInput = false;
    std::vector<AudioObjectID> inputDevices;
    std::optional<std::string> bundleId;
    bool bundleFromCapture = false;
    std::vector<std::uint32_t> clients;  // the server connections its streams belong to
  };
  struct Device {
    std::string uid;
    std::optional<std::string> name;
  };

  // Takes a new picture of the server; false (and no objects) when no server answers.
  bool refresh();
  void takePicture(const PulseServerState& state);
  // Tells the end watch and the lookups which processes the picture has.
  void showProcesses();
  AudioObjectID idFor(std::unordered_map<std::int32_t, AudioObjectID>& previous, std::int32_t pid);
  AudioObjectID idFor(std::unordered_map<std::string, AudioObjectID>& previous,
                      const std::string& sourceName);
  const Process* process(AudioObjectID object) const;
  // Whether the process captures now: it has a capturing stream and has not ended.
  bool runningInput(const Process& process) const;
  const Device* device(AudioObjectID object) const;
  // Whether `object` has the property, or nothing when there is no such object.
  std::optional<bool> knows(AudioObjectID object, const AudioObjectPropertyAddress& address) const;

  std::unique_ptr<PulseServerReader> server_;
  std::function<bool(std::int32_t)> processExists_;  // empty: endWatch_ answers
  ProcessEndWatch endWatch_;
  ProcessLookupCache* lookups_;
  // Set by a size read of the process list, so that the data read that follows answers from
  // the same picture.
  bool listJustRead_ = false;
  std::uint64_t pictureVersion_ = 0;  // of the server's picture the objects were taken from

  std::vector<AudioObjectID> processList_;
  std::unordered_map<AudioObjectID, Process> processes_;
  std::unordered_map<AudioObjectID, Device> devices_;

  // Identifiers live as long as their process or source is in the pictures; a picture that
  // could not be taken forgets none of them.
  std::unordered_map<std::int32_t, AudioObjectID> processIds_;
  std::unordered_map<std::string, AudioObjectID> deviceIds_;
  AudioObjectID nextId_ = kAudioObjectSystemObject + 1;
};

// Whether a stream belongs to a volume meter rather than to an application that listens.
bool isVolumeMeter(const PulseServerState::Client& client,
                   const PulseServerState::SourceOutput& output);

// The application id of a stream: the stream's own application properties first, then its
// client's; nothing when none is set.
std::optional<std::string> streamBundleId(const PulseServerState::Client& client,
                                          const PulseServerState::SourceOutput& output);

// The process id of a stream: PipeWire's own record of its peer for a native PipeWire client,
// else the id the stream or its client reports. Nothing when none is a positive decimal number.
std::optional<std::int32_t> streamProcessId(const PulseServerState::Client& client,
                                            const PulseServerState::SourceOutput& output);

}  // namespace micdetector
