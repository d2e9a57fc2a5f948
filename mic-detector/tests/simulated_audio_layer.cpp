// As the real layer: an object that has no property at all (one that has gone away) answers
// with the bad-object status, an unknown property of a known object with the unknown-property
// status.
#include "simulated_audio_layer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace micdetector::testing {

void SimulatedAudioLayer::setList(AudioObjectID object, AudioObjectPropertySelector selector,
                                  AudioObjectPropertyScope scope, std::vector<AudioObjectID> list) {
  put(object, selector, scope, std::move(list));
}

void SimulatedAudioLayer::setUInt32(AudioObjectID object, AudioObjectPropertySelector selector,
                                    std::uint32_t value) {
  put(object, selector, kAudioObjectPropertyScopeGlobal, value);
}

void SimulatedAudioLayer::setText(AudioObjectID object, AudioObjectPropertySelector selector,
                                  std::string text) {
  put(object, selector, kAudioObjectPropertyScopeGlobal, Text{TextKind::text, std::move(text)});
}

void SimulatedAudioLayer::setNullText(AudioObjectID object, AudioObjectPropertySelector selector) {
  put(object, selector, kAudioObjectPropertyScopeGlobal, Text{TextKind::null, {}});
}

void SimulatedAudioLayer::setUntouchedText(AudioObjectID object,
                                           AudioObjectPropertySelector selector) {
  put(object, selector, kAudioObjectPropertyScopeGlobal, Text{TextKind::untouched, {}});
}

void SimulatedAudioLayer::remove(AudioObjectID object, AudioObjectPropertySelector selector,
                                 AudioObjectPropertyScope scope) {
  properties_.erase({object, selector, scope});
}

void SimulatedAudioLayer::removeObject(AudioObjectID object) {
  std::erase_if(properties_,
                [object](const auto& entry) { return std::get<0>(entry.first) == object; });
}

void SimulatedAudioLayer::failSizeRead(AudioObjectID object, AudioObjectPropertySelector selector,
                                       AudioObjectPropertyScope scope, OSStatus status) {
  existing(object, selector, scope).sizeStatus = status;
}

void SimulatedAudioLayer::failDataRead(AudioObjectID object, AudioObjectPropertySelector selector,
                                       AudioObjectPropertyScope scope, OSStatus status) {
  existing(object, selector, scope).dataStatus = status;
}

void SimulatedAudioLayer::changeListAfterSizeRead(AudioObjectID object,
                                                  AudioObjectPropertySelector selector,
                                                  AudioObjectPropertyScope scope,
                                                  std::vector<AudioObjectID> list) {
  existing(object, selector, scope).listAfterSizeRead = std::move(list);
}

void SimulatedAudioLayer::setProcessList(std::vector<AudioObjectID> processes) {
  setList(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList,
          kAudioObjectPropertyScopeGlobal, std::move(processes));
}

void SimulatedAudioLayer::addProcess(AudioObjectID process, std::int32_t pid, bool runningInput,
                                     std::vector<AudioObjectID> inputDevices) {
  setUInt32(process, kAudioProcessPropertyIsRunningInput, runningInput ? 1 : 0);
  setUInt32(process, kAudioProcessPropertyPID, static_cast<std::uint32_t>(pid));
  setList(process, kAudioProcessPropertyDevices, kAudioObjectPropertyScopeInput,
          std::move(inputDevices));
}

void SimulatedAudioLayer::addDevice(AudioObjectID device, std::string uid, std::string name) {
  setText(device, kAudioDevicePropertyDeviceUID, std::move(uid));
  setText(device, kAudioObjectPropertyName, std::move(name));
}

bool SimulatedAudioLayer::hasProperty(AudioObjectID object,
                                      const AudioObjectPropertyAddress& address) {
  record(Operation::hasProperty, object, address.mSelector);
  return find(object, address) != nullptr;
}

OSStatus SimulatedAudioLayer::getPropertyDataSize(AudioObjectID object,
                                                  const AudioObjectPropertyAddress& address,
                                                  std::uint32_t& size) {
  record(Operation::size, object, address.mSelector);
  Property* property = find(object, address);
  if (property == nullptr) return missingStatus(object);
  if (property->sizeStatus != 0) return property->sizeStatus;
  if (const auto* list = std::get_if<std::vector<AudioObjectID>>(&property->value)) {
    size = static_cast<std::uint32_t>(list->size() * sizeof(AudioObjectID));
    if (property->listAfterSizeRead) {
      property->value = std::move(*property->listAfterSizeRead);
      property->listAfterSizeRead.reset();
    }
  } else if (std::holds_alternative<std::uint32_t>(property->value)) {
    size = sizeof(std::uint32_t);
  } else {
    size = sizeof(void*);  // one string reference
  }
  return 0;
}

OSStatus SimulatedAudioLayer::getPropertyData(AudioObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              std::uint32_t& ioSize, void* data) {
  record(Operation::data, object, address.mSelector);
  Property* property = find(object, address);
  if (property == nullptr) return missingStatus(object);
  if (property->dataStatus != 0) return property->dataStatus;
  if (const auto* list = std::get_if<std::vector<AudioObjectID>>(&property->value)) {
    const std::size_t entries = std::min<std::size_t>(ioSize / sizeof(AudioObjectID), list->size());
    if (entries > 0) std::memcpy(data, list->data(), entries * sizeof(AudioObjectID));
    ioSize = static_cast<std::uint32_t>(entries * sizeof(AudioObjectID));
    return 0;
  }
  if (const auto* value = std::get_if<std::uint32_t>(&property->value)) {
    if (ioSize < sizeof *value) return kAudioHardwareUnknownPropertyError;
    std::memcpy(data, value, sizeof *value);
    ioSize = sizeof *value;
    return 0;
  }
  return kAudioHardwareUnknownPropertyError;  // texts are read with getPropertyText
}

OSStatus SimulatedAudioLayer::getPropertyText(AudioObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              std::optional<std::string>& text) {
  record(Operation::text, object, address.mSelector);
  Property* property = find(object, address);
  if (property == nullptr) return missingStatus(object);
  if (property->dataStatus != 0) return property->dataStatus;
  const auto* value = std::get_if<Text>(&property->value);
  if (value == nullptr) return kAudioHardwareUnknownPropertyError;
  switch (value->kind) {
    case TextKind::text:
      text = value->value;
      break;
    case TextKind::null:
      text.reset();
      break;
    case TextKind::untouched:
      break;
  }
  return 0;
}

std::vector<SimulatedAudioLayer::Read> SimulatedAudioLayer::readsOf(
    AudioObjectPropertySelector selector) const {
  std::vector<Read> matching;
  for (const Read& read : reads) {
    if (read.selector == selector) matching.push_back(read);
  }
  return matching;
}

SimulatedAudioLayer::Property* SimulatedAudioLayer::find(
    AudioObjectID object, const AudioObjectPropertyAddress& address) {
  const auto it = properties_.find({object, address.mSelector, address.mScope});
  return it == properties_.end() ? nullptr : &it->second;
}

OSStatus SimulatedAudioLayer::missingStatus(AudioObjectID object) const {
  const auto first = properties_.lower_bound({object, 0, 0});
  const bool known = first != properties_.end() && std::get<0>(first->first) == object;
  return known ? kAudioHardwareUnknownPropertyError : kAudioHardwareBadObjectError;
}

SimulatedAudioLayer::Property& SimulatedAudioLayer::existing(AudioObjectID object,
                                                             AudioObjectPropertySelector selector,
                                                             AudioObjectPropertyScope scope) {
  const auto it = properties_.find({object, selector, scope});
  if (it == properties_.end()) throw std::logic_error("no such simulated property");
  return it->second;
}

void SimulatedAudioLayer::put(AudioObjectID object, AudioObjectPropertySelector selector,
                              AudioObjectPropertyScope scope, Property::Value value) {
  properties_.insert_or_assign(Key{object, selector, scope}, Property(std::move(value)));
}

void SimulatedAudioLayer::record(Operation operation, AudioObjectID object,
                                 AudioObjectPropertySelector selector) {
  if (recording) reads.push_back({operation, object, selector});
}

}  // namespace micdetector::testing
