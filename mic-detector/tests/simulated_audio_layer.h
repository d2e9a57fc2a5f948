// A simulated audio layer for tests: an object graph whose reads can be made to fail, whose
// lists can change between the size read and the data read, and which records every read.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "platform/audio_layer.h"

namespace micdetector::testing {

class SimulatedAudioLayer final : public AudioLayer {
 public:
  enum class Operation { hasProperty, size, data, text };
  struct Read {
    Operation operation;
    AudioObjectID object;
    AudioObjectPropertySelector selector;
    bool operator==(const Read&) const = default;
  };

  // Building the graph. Lists may take any scope; values and texts are global.
  void setList(AudioObjectID object, AudioObjectPropertySelector selector,
               AudioObjectPropertyScope scope, std::vector<AudioObjectID> list);
  void setUInt32(AudioObjectID object, AudioObjectPropertySelector selector, std::uint32_t value);
  void setText(AudioObjectID object, AudioObjectPropertySelector selector, std::string text);
  // The read succeeds and hands back a null string reference.
  void setNullText(AudioObjectID object, AudioObjectPropertySelector selector);
  // The read succeeds but stores nothing, leaving the caller's preset value.
  void setUntouchedText(AudioObjectID object, AudioObjectPropertySelector selector);
  void remove(AudioObjectID object, AudioObjectPropertySelector selector,
              AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal);
  // Every property of the object goes: it has gone away, as a process that ended.
  void removeObject(AudioObjectID object);

  // Faults on an existing property.
  void failSizeRead(AudioObjectID object, AudioObjectPropertySelector selector,
                    AudioObjectPropertyScope scope, OSStatus status);
  void failDataRead(AudioObjectID object, AudioObjectPropertySelector selector,
                    AudioObjectPropertyScope scope, OSStatus status);
  // The list becomes `list` as soon as its size has been read (a shrinking or growing list).
  void changeListAfterSizeRead(AudioObjectID object, AudioObjectPropertySelector selector,
                               AudioObjectPropertyScope scope, std::vector<AudioObjectID> list);

  // Shorthands for the graph a poll reads.
  void setProcessList(std::vector<AudioObjectID> processes);
  void addProcess(AudioObjectID process, std::int32_t pid, bool runningInput,
                  std::vector<AudioObjectID> inputDevices);
  void addDevice(AudioObjectID device, std::string uid, std::string name);

  bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) override;
  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t& size) override;
  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t& ioSize, void* data) override;
  OSStatus getPropertyText(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::optional<std::string>& text) override;

  bool recording = true;
  std::vector<Read> reads;
  // The reads of one selector, in order.
  std::vector<Read> readsOf(AudioObjectPropertySelector selector) const;

 private:
  enum class TextKind { text, null, untouched };
  struct Text {
    TextKind kind = TextKind::text;
    std::string value;
  };
  struct Property {
    using Value = std::variant<std::vector<AudioObjectID>, std::uint32_t, Text>;
    explicit Property(Value initial) : value(std::move(initial)) {}
    Value value;
    OSStatus sizeStatus = 0;
    OSStatus dataStatus = 0;
    std::optional<std::vector<AudioObjectID>> listAfterSizeRead;
  };
  using Key = std::tuple<AudioObjectID, AudioObjectPropertySelector, AudioObjectPropertyScope>;

  Property* find(AudioObjectID object, const AudioObjectPropertyAddress& address);
  void put(AudioObjectID object, AudioObjectPropertySelector selector,
           AudioObjectPropertyScope scope, Property::Value value);
  Property& existing(AudioObjectID object, AudioObjectPropertySelector selector,
                     AudioObjectPropertyScope scope);
  void record(Operation operation, AudioObjectID object, AudioObjectPropertySelector selector);
  // The status of a read of a property the graph lacks.
  OSStatus missingStatus(AudioObjectID object) const;

  std::map<Key, Property> properties_;
};

}  // namespace micdetector::testing
