// Every read of one poll answers from the picture taken when the poll read the process list, so
// a poll sees one consistent state of the server however long it takes.
#include "platform/linux/pulse_audio_layer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

namespace micdetector {
namespace {

// Streams of these applications only show levels; they are not microphone use.
constexpr std::array<std::string_view, 4> kVolumeMeterApplications{
    "org.PulseAudio.pavucontrol", "org.gnome.VolumeControl", "org.kde.kmixd", "org.kde.plasma-pa"};

// A text property's value is handed out as one string reference.
constexpr std::uint32_t kTextReferenceSize = 8;

std::optional<std::int32_t> positiveDecimal(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  std::int32_t value = 0;
  const char* end = text->data() + text->size();
  const auto [stop, error] = std::from_chars(text->data(), end, value);
  if (error != std::errc() || stop != end || value <= 0) return std::nullopt;
  return value;
}

std::optional<std::string> nonEmpty(const std::optional<std::string>& text) {
  if (text && !text->empty()) return text;
  return std::nullopt;
}

// Copies whole identifiers, as many as fit, and says how many bytes were filled.
void copyList(const std::vector<AudioObjectID>& list, std::uint32_t& ioSize, void* data) {
  const std::size_t count = std::min<std::size_t>(ioSize / sizeof(AudioObjectID), list.size());
  if (count > 0) std::memcpy(data, list.data(), count * sizeof(AudioObjectID));
  ioSize = static_cast<std::uint32_t>(count * sizeof(AudioObjectID));
}

bool isProcessList(AudioObjectID object, const AudioObjectPropertyAddress& address) {
  return object == kAudioObjectSystemObject &&
         address.mSelector == kAudioHardwarePropertyProcessObjectList &&
         address.mScope == kAudioObjectPropertyScopeGlobal;
}

}  // namespace

std::optional<std::string> streamBundleId(const PulseServerState::Client& client,
                                          const PulseServerState::SourceOutput& output) {
  for (const auto* id :
       {&output.applicationId, &output.portalAppId, &client.applicationId, &client.portalAppId}) {
    if (auto found = nonEmpty(*id)) return found;
  }
  return std::nullopt;
}

bool isVolumeMeter(const PulseServerState::Client& client,
                   const PulseServerState::SourceOutput& output) {
  if (output.peakDetect) return true;
  const auto id = streamBundleId(client, output);
  return id && std::ranges::find(kVolumeMeterApplications, *id) != kVolumeMeterApplications.end();
}

std::optional<std::int32_t> streamProcessId(const PulseServerState::Client& client,
                                            const PulseServerState::SourceOutput& output) {
  // pipewire-pulse is the peer of every PulseAudio-protocol client, so PipeWire's record of the
  // peer names pipewire-pulse itself for them; for its native clients it is the client's own.
  if (client.clientApi != "pipewire-pulse") {
    if (auto pid = positiveDecimal(client.serverRecordedProcessId)) return pid;
  }
  if (auto pid = positiveDecimal(output.applicationProcessId)) return pid;
  return positiveDecimal(client.applicationProcessId);
}

PulseAudioLayer::PulseAudioLayer(std::unique_ptr<PulseServerReader> server,
                                 std::function<bool(std::int32_t)> processExists,
                                 ProcessLookupCache* lookups)
    : server_(std::move(server)),
      processExists_(std::move(processExists)),
      lookups_(lookups) {}

bool PulseAudioLayer::refresh() {
  const PulseServerState* state = server_->readState();
  if (state == nullptr) {
    processList_.clear();
    processes_.clear();
    devices_.clear();
    pictureVersion_ = 0;
    showProcesses();
    return false;
  }
  // An unchanged server gives the same picture: the objects are kept as they are.
  if (state->version == 0 || state->version != pictureVersion_) takePicture(*state);
  pictureVersion_ = state->version;
  // A recording stream outlives its process for a moment on PipeWire, until pipewire-pulse
  // sees the connection close: a process that has ended records nothing.
  if (!processExists_) endWatch_.check();
  return true;
}

AudioObjectID PulseAudioLayer::idFor(std::unordered_map<std::int32_t, AudioObjectID>& previous,
                                     std::int32_t pid) {
  if (const auto current = processIds_.find(pid); current != processIds_.end()) {
    return current->second;
  }
  const auto earlier = previous.find(pid);
  const AudioObjectID id = earlier != previous.end() ? earlier->second : nextId_++;
  processIds_.emplace(pid, id);
  return id;
}

AudioObjectID PulseAudioLayer::idFor(std::unordered_map<std::string, AudioObjectID>& previous,
                                     const std::string& sourceName) {
  if (const auto current = deviceIds_.find(sourceName); current != deviceIds_.end()) {
    return current->second;
  }
  const auto earlier = previous.find(sourceName);
  const AudioObjectID id = earlier != previous.end() ? earlier->second : nextId_++;
  deviceIds_.emplace(sourceName, id);
  return id;
}

void PulseAudioLayer::takePicture(const PulseServerState& state) {
  auto previousProcessIds = std::exchange(processIds_, {});
  auto previousDeviceIds = std::exchange(deviceIds_, {});
  processList_.clear();
  processes_.clear();
  devices_.clear();

  std::unordered_map<std::uint32_t, const PulseServerState::Source*> sources;
  for (const auto& source : state.sources) {
    sources.emplace(source.index, &source);
    if (!source.isMonitor) {
      devices_[idFor(previousDeviceIds, source.name)] = {source.name, source.description};
    }
  }
  std::unordered_map<std::uint32_t, const PulseServerState::Client*> clients;
  for (const auto& client : state.clients) clients.emplace(client.index, &client);

  for (const auto& output : state.sourceOutputs) {
    // A stream whose client has already gone (or that no client owns, such as a module's
    // loopback) belongs to no process.
    const auto client = clients.find(output.client);
    if (client == clients.end() || isVolumeMeter(*client->second, output)) continue;
    const auto pid = streamProcessId(*client->second, output);
    if (!pid) continue;
    const AudioObjectID id = idFor(previousProcessIds, *pid);
    const auto [entry, added] = processes_.try_emplace(id);
    Process& process = entry->second;
    if (added) {
      processList_.push_back(id);
      process.pid = *pid;
    }

    // Recording what a sink plays is not microphone use, nor is a paused stream; a source that
    // has gone is no device.
    const auto source = sources.find(output.source);
    const bool capturing = source != sources.end() && !source->second->isMonitor && !output.corked;
    // The process is named after a stream that captures where it has one.
    if (auto bundleId = streamBundleId(*client->second, output);
        bundleId && (!process.bundleId || (capturing && !process.bundleFromCapture))) {
      process.bundleId = std::move(bundleId);
      process.bundleFromCapture = capturing;
    }
    if (std::ranges::find(process.clients, output.client) == process.clients.end()) {
      process.clients.push_back(output.client);
    }
    if (!capturing) continue;
    process.runningInput = true;
    const AudioObjectID device = deviceIds_.at(source->second->name);
    if (std::ranges::find(process.inputDevices, device) == process.inputDevices.end()) {
      process.inputDevices.push_back(device);
    }
  }
  showProcesses();
}

void PulseAudioLayer::showProcesses() {
  if (!processExists_) {
    std::vector<std::int32_t> pids;
    pids.reserve(processes_.size());
    for (const auto& [id, process] : processes_) pids.push_back(process.pid);
    endWatch_.watch(pids);
  }
  if (lookups_ == nullptr) return;
  std::unordered_map<std::int32_t, std::vector<std::uint32_t>> connections;
  for (const auto& [id, process] : processes_) connections.emplace(process.pid, process.clients);
  lookups_->showProcesses(connections);
}

bool PulseAudioLayer::runningInput(const Process& process) const {
  if (!process.runningInput) return false;
  return processExists_ ? processExists_(process.pid) : !endWatch_.ended(process.pid);
}

const PulseAudioLayer::Process* PulseAudioLayer::process(AudioObjectID object) const {
  const auto found = processes_.find(object);
  return found != processes_.end() ? &found->second : nullptr;
}

const PulseAudioLayer::Device* PulseAudioLayer::device(AudioObjectID object) const {
  const auto found = devices_.find(object);
  return found != devices_.end() ? &found->second : nullptr;
}

std::optional<bool> PulseAudioLayer::knows(AudioObjectID object,
                                           const AudioObjectPropertyAddress& address) const {
  const bool global = address.mScope == kAudioObjectPropertyScopeGlobal;
  if (object == kAudioObjectSystemObject) return isProcessList(object, address);
  if (const Process* found = process(object)) {
    switch (address.mSelector) {
      case kAudioProcessPropertyIsRunningInput:
      case kAudioProcessPropertyPID:
        return global;
      case kAudioProcessPropertyDevices:
        return address.mScope == kAudioObjectPropertyScopeInput;
      case kAudioProcessPropertyBundleID:
        return global && found->bundleId.has_value();
      default:
        return false;
    }
  }
  if (const Device* found = device(object)) {
    switch (address.mSelector) {
      case kAudioDevicePropertyDeviceUID:
        return global;
      case kAudioObjectPropertyName:
        return global && found->name.has_value();
      default:
        return false;
    }
  }
  return std::nullopt;
}

bool PulseAudioLayer::hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) {
  return knows(object, address).value_or(false);
}

OSStatus PulseAudioLayer::getPropertyDataSize(AudioObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              std::uint32_t& size) {
  size = 0;
  if (isProcessList(object, address)) {
    listJustRead_ = refresh();
    if (!listJustRead_) return kAudioHardwareNotRunningError;
    size = static_cast<std::uint32_t>(processList_.size() * sizeof(AudioObjectID));
    return kAudioHardwareNoError;
  }
  const auto has = knows(object, address);
  if (!has) return kAudioHardwareBadObjectError;
  if (!*has) return kAudioHardwareUnknownPropertyError;
  switch (address.mSelector) {
    case kAudioProcessPropertyDevices:
      size =
          static_cast<std::uint32_t>(process(object)->inputDevices.size() * sizeof(AudioObjectID));
      break;
    case kAudioProcessPropertyIsRunningInput:
    case kAudioProcessPropertyPID:
      size = sizeof(std::uint32_t);
      break;
    default:
      size = kTextReferenceSize;
      break;
  }
  return kAudioHardwareNoError;
}

OSStatus PulseAudioLayer::getPropertyData(AudioObjectID object,
                                          const AudioObjectPropertyAddress& address,
                                          std::uint32_t& ioSize, void* data) {
  if (isProcessList(object, address)) {
    // A list read without its size read first takes a picture of its own.
    if (!std::exchange(listJustRead_, false) && !refresh()) {
      ioSize = 0;
      return kAudioHardwareNotRunningError;
    }
    copyList(processList_, ioSize, data);
    return kAudioHardwareNoError;
  }
  const auto has = knows(object, address);
  if (!has) return kAudioHardwareBadObjectError;
  if (!*has) return kAudioHardwareUnknownPropertyError;
  std::uint32_t value = 0;
  switch (address.mSelector) {
    case kAudioProcessPropertyDevices:
      copyList(process(object)->inputDevices, ioSize, data);
      return kAudioHardwareNoError;
    case kAudioProcessPropertyIsRunningInput:
      value = runningInput(*process(object)) ? 1 : 0;
      break;
    case kAudioProcessPropertyPID:
      value = static_cast<std::uint32_t>(process(object)->pid);
      break;
    default:
      return kAudioHardwareIllegalOperationError;  // texts are read as texts
  }
  if (ioSize < sizeof value) return kAudioHardwareBadPropertySizeError;
  std::memcpy(data, &value, sizeof value);
  ioSize = sizeof value;
  return kAudioHardwareNoError;
}

OSStatus PulseAudioLayer::getPropertyText(AudioObjectID object,
                                          const AudioObjectPropertyAddress& address,
                                          std::optional<std::string>& text) {
  const auto has = knows(object, address);
  if (!has) return kAudioHardwareBadObjectError;
  if (!*has) return kAudioHardwareUnknownPropertyError;
  switch (address.mSelector) {
    case kAudioProcessPropertyBundleID:
      text = process(object)->bundleId;
      return kAudioHardwareNoError;
    case kAudioDevicePropertyDeviceUID:
      text = device(object)->uid;
      return kAudioHardwareNoError;
    case kAudioObjectPropertyName:
      text = device(object)->name;
      return kAudioHardwareNoError;
    default:
      return kAudioHardwareIllegalOperationError;
  }
}

}  // namespace micdetector
