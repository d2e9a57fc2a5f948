// Reads in a fixed order so that a process not running input costs one read, and one without
// an identity costs no device reads.
#include "active_input_apps.h"

#include "application_identity.h"
#include "audio_properties.h"

namespace micdetector {
namespace {

// A process that ends between the list read and a read of its own object is no failure of the
// poll: the layer answers that the object is bad, and the process simply has no entry.
struct ProcessGone {};

bool isGone(OSStatus status) { return status == kAudioHardwareBadObjectError; }

// All or nothing: one device that cannot be described leaves the whole list unknown.
std::expected<std::optional<std::vector<MicInputDevice>>, ProcessGone> inputDevices(
    AudioLayer& audio, AudioObjectID process) {
  auto devices =
      getObjectIDs(audio, process, kAudioProcessPropertyDevices, kAudioObjectPropertyScopeInput);
  if (!devices) {
    if (devices.error().kind == DetectorError::Kind::osStatus && isGone(devices.error().status)) {
      return std::unexpected(ProcessGone{});
    }
    return std::nullopt;
  }
  std::vector<MicInputDevice> described;
  described.reserve(devices->size());
  for (const AudioObjectID device : *devices) {
    if (device == kAudioObjectUnknown) return std::nullopt;
    auto uid = getTextProperty(audio, device, kAudioDevicePropertyDeviceUID);
    if (!uid) return std::nullopt;
    auto name = getTextProperty(audio, device, kAudioObjectPropertyName);
    if (!name) return std::nullopt;
    described.push_back({std::move(*uid), std::move(*name)});
  }
  return described;
}

}  // namespace

std::expected<std::vector<MicActiveApp>, DetectorError> loadActiveInputApps(
    const DetectorPlatform& platform) {
  auto processes =
      getObjectIDs(platform.audio, kAudioObjectSystemObject,
                   kAudioHardwarePropertyProcessObjectList, kAudioObjectPropertyScopeGlobal);
  if (!processes) return std::unexpected(processes.error());
  const std::uint64_t detectedAt = platform.wallClock();

  std::vector<MicActiveApp> apps;
  apps.reserve(processes->size());
  for (const AudioObjectID process : *processes) {
    const auto running =
        getUInt32Property(platform.audio, process, kAudioProcessPropertyIsRunningInput);
    if (!running) {
      if (isGone(running.error())) continue;
      return std::unexpected(
          DetectorError::osStatus(kAudioProcessPropertyIsRunningInput, running.error()));
    }
    if (*running == 0) continue;
    const auto pidBits = getUInt32Property(platform.audio, process, kAudioProcessPropertyPID);
    if (!pidBits) {
      if (isGone(pidBits.error())) continue;
      return std::unexpected(DetectorError::osStatus(kAudioProcessPropertyPID, pidBits.error()));
    }
    const auto pid = static_cast<std::int32_t>(*pidBits);
    auto identity = resolveApplicationIdentity(platform, pid, process);
    if (!identity) continue;
    auto devices = inputDevices(platform.audio, process);
    if (!devices) continue;
    apps.push_back({std::move(identity->bundleId), pid, detectedAt,
                    std::move(identity->applicationName), std::move(*devices)});
  }
  return apps;
}

}  // namespace micdetector
