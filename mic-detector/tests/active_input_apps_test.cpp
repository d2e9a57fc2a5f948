// One poll through the simulated audio layer and fake tables: what it lists, in which order it
// reads, and which failures spoil the poll, an entry's device list, or nothing.
#include "active_input_apps.h"

#include <gtest/gtest.h>

#include "fake_tables.h"
#include "simulated_audio_layer.h"

namespace micdetector {
namespace {

using testing::SimulatedAudioLayer;
using Operation = SimulatedAudioLayer::Operation;
using Devices = std::vector<MicInputDevice>;

std::uint64_t clockCalls = 0;
std::uint64_t countingClock() { return 1000 + clockCalls++; }

class Poll : public ::testing::Test {
 protected:
  Poll() { clockCalls = 0; }

  void addApplication(std::int32_t pid, std::string bundleId, std::optional<std::string> name) {
    applications.applications[pid] = {std::move(bundleId), std::move(name)};
  }

  std::expected<std::vector<MicActiveApp>, DetectorError> poll() {
    return loadActiveInputApps(platform);
  }

  SimulatedAudioLayer audio;
  testing::FakeRunningApplications applications;
  testing::FakeProcessPaths paths;
  DetectorPlatform platform{audio, applications, paths, countingClock};
};

TEST_F(Poll, ListsCapturingProcessesInTheLayersOrderWithOneTimeForAll) {
  audio.setProcessList({40, 30, 20, 10});
  audio.addProcess(40, 400, true, {100, 101});
  audio.addProcess(30, 300, false, {100});  // not capturing, though it has an identity
  audio.addProcess(20, 200, true, {});
  audio.addProcess(10, 201, true, {101});  // a second process of one application
  audio.addDevice(100, "usb-mic-1", "USB Microphone");
  audio.addDevice(101, "BuiltIn", "MacBook Microphone");
  addApplication(400, "com.example.recorder", "Recorder");
  addApplication(300, "com.example.idle", "Idle");
  addApplication(200, "com.example.chat", std::nullopt);
  addApplication(201, "com.example.chat", "");

  const auto apps = poll();
  ASSERT_TRUE(apps.has_value());
  const std::vector<MicActiveApp> expected{
      {"com.example.recorder", 400, 1000, "Recorder",
       Devices{{"usb-mic-1", "USB Microphone"}, {"BuiltIn", "MacBook Microphone"}}},
      {"com.example.chat", 200, 1000, std::nullopt, Devices{}},
      {"com.example.chat", 201, 1000, "", Devices{{"BuiltIn", "MacBook Microphone"}}},
  };
  EXPECT_EQ(*apps, expected);
  EXPECT_EQ(clockCalls, 1u);
  // The process not running input cost one read and no identity lookup.
  EXPECT_EQ(audio.readsOf(kAudioProcessPropertyPID).size(), 3u);
  EXPECT_EQ(applications.lookups, 3);

  // Every poll reads the clock afresh and repeats nothing of the last one.
  const auto again = poll();
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->size(), 3u);
  EXPECT_EQ((*again)[0].detectedAtMs, 1001u);
  EXPECT_EQ(applications.lookups, 6);
}

TEST_F(Poll, ReadsInOrderAndSkipsDeviceReadsForProcessesWithoutIdentity) {
  audio.setProcessList({10, 11});
  audio.addProcess(10, 100, true, {100});
  audio.addProcess(11, 110, true, {100});
  audio.addDevice(100, "u", "n");
  addApplication(110, "com.example.b", "B");
  // Process 10 has no identity from any source.
  audio.setText(10, kAudioProcessPropertyBundleID, "");

  const auto apps = poll();
  ASSERT_TRUE(apps.has_value());
  ASSERT_EQ(apps->size(), 1u);
  EXPECT_EQ((*apps)[0].pid, 110);

  using Read = SimulatedAudioLayer::Read;
  const std::vector<Read> expected{
      {Operation::hasProperty, 1, kAudioHardwarePropertyProcessObjectList},
      {Operation::size, 1, kAudioHardwarePropertyProcessObjectList},
      {Operation::data, 1, kAudioHardwarePropertyProcessObjectList},
      {Operation::data, 10, kAudioProcessPropertyIsRunningInput},
      {Operation::data, 10, kAudioProcessPropertyPID},
      {Operation::hasProperty, 10, kAudioProcessPropertyBundleID},
      {Operation::text, 10, kAudioProcessPropertyBundleID},
      {Operation::data, 11, kAudioProcessPropertyIsRunningInput},
      {Operation::data, 11, kAudioProcessPropertyPID},
      {Operation::hasProperty, 11, kAudioProcessPropertyDevices},
      {Operation::size, 11, kAudioProcessPropertyDevices},
      {Operation::data, 11, kAudioProcessPropertyDevices},
      {Operation::hasProperty, 100, kAudioDevicePropertyDeviceUID},
      {Operation::text, 100, kAudioDevicePropertyDeviceUID},
      {Operation::hasProperty, 100, kAudioObjectPropertyName},
      {Operation::text, 100, kAudioObjectPropertyName},
  };
  EXPECT_EQ(audio.reads, expected);
}

TEST_F(Poll, FailuresOfTheListRunningFlagOrPidFailTheWholePoll) {
  // No process list at all, as on systems older than the property.
  EXPECT_EQ(poll().error().errorDescription(),
            "Audio property unavailable for selector 1886548771");
  EXPECT_EQ(clockCalls, 0u);

  audio.setProcessList({10, 11});
  audio.failSizeRead(1, kAudioHardwarePropertyProcessObjectList, kAudioObjectPropertyScopeGlobal,
                     -4);
  EXPECT_EQ(poll().error(), DetectorError::osStatus(kAudioHardwarePropertyProcessObjectList, -4));
  audio.setProcessList({10, 11});
  audio.failDataRead(1, kAudioHardwarePropertyProcessObjectList, kAudioObjectPropertyScopeGlobal,
                     7);
  EXPECT_EQ(poll().error(), DetectorError::osStatus(kAudioHardwarePropertyProcessObjectList, 7));

  // Process 11 lacks its 'piri' property: the read fails with the layer's status, and the
  // entry already gathered for process 10 is dropped.
  audio.setProcessList({10, 11});
  audio.addProcess(10, 100, true, {});
  addApplication(100, "com.example.a", "A");
  audio.setUInt32(11, kAudioProcessPropertyPID, 110);
  EXPECT_EQ(poll().error().errorDescription(),
            "CoreAudio call failed for selector 1885958761 with status 2003332927");

  audio.addProcess(11, 110, true, {});
  audio.failDataRead(11, kAudioProcessPropertyPID, kAudioObjectPropertyScopeGlobal, -10851);
  EXPECT_EQ(poll().error().errorDescription(),
            "CoreAudio call failed for selector 1886415204 with status -10851");

  audio.remove(11, kAudioProcessPropertyPID);
  audio.setUInt32(11, kAudioProcessPropertyPID, 110);
  addApplication(110, "com.example.b", "B");
  ASSERT_TRUE(poll().has_value());
  EXPECT_EQ(poll()->size(), 2u);
}

TEST_F(Poll, ProcessesThatEndDuringThePollAreLeftOutAndThePollGoesOn) {
  // Each of 11, 12 and 13 ends after the list was read, its object gone by a different read.
  audio.setProcessList({10, 11, 12, 13, 14});
  audio.addDevice(100, "mic", "Microphone");
  for (const auto& [object, pid] : std::vector<std::pair<AudioObjectID, std::int32_t>>{
           {10, 100}, {11, 110}, {12, 120}, {13, 130}, {14, 140}}) {
    audio.addProcess(object, pid, true, {100});
    addApplication(pid, "com.example.p" + std::to_string(pid), std::nullopt);
  }
  audio.removeObject(11);  // before its 'piri' read
  audio.failDataRead(12, kAudioProcessPropertyPID, kAudioObjectPropertyScopeGlobal,
                     kAudioHardwareBadObjectError);
  audio.failSizeRead(13, kAudioProcessPropertyDevices, kAudioObjectPropertyScopeInput,
                     kAudioHardwareBadObjectError);

  const auto apps = poll();
  ASSERT_TRUE(apps.has_value()) << apps.error().errorDescription();
  ASSERT_EQ(apps->size(), 2u);
  EXPECT_EQ((*apps)[0].pid, 100);
  EXPECT_EQ((*apps)[1].pid, 140);
  EXPECT_EQ((*apps)[1].inputDevices, (Devices{{"mic", "Microphone"}}));
  // Nothing more is asked of a process once it is known to be gone.
  EXPECT_EQ(audio.readsOf(kAudioProcessPropertyPID).size(), 4u);
  EXPECT_EQ(applications.lookups, 3);  // 10, 13 and 14

  // Only the bad-object status means that: any other status of those reads fails the poll.
  audio.failDataRead(12, kAudioProcessPropertyPID, kAudioObjectPropertyScopeGlobal,
                     kAudioHardwareNotRunningError);
  EXPECT_EQ(poll().error(),
            DetectorError::osStatus(kAudioProcessPropertyPID, kAudioHardwareNotRunningError));
}

TEST_F(Poll, ProcessesNotRunningInputAreSkippedBeforeTheirPidOrIdentity) {
  audio.setProcessList({10});
  audio.addProcess(10, 100, false, {});
  audio.failDataRead(10, kAudioProcessPropertyPID, kAudioObjectPropertyScopeGlobal, -1);
  addApplication(100, "com.example.a", "A");
  ASSERT_TRUE(poll().has_value());
  EXPECT_TRUE(poll()->empty());
  EXPECT_EQ(applications.lookups, 0);
  EXPECT_EQ(paths.queries, 0);
}

TEST_F(Poll, AListThatShrankBeforeItsReadHasNoPhantomObject) {
  audio.setProcessList({10, 11, 12});
  audio.changeListAfterSizeRead(1, kAudioHardwarePropertyProcessObjectList,
                                kAudioObjectPropertyScopeGlobal, {11});
  audio.addProcess(11, 110, true, {});
  addApplication(110, "com.example.b", "B");
  const auto apps = poll();
  ASSERT_TRUE(apps.has_value());
  ASSERT_EQ(apps->size(), 1u);
  EXPECT_EQ(audio.readsOf(kAudioProcessPropertyIsRunningInput).size(), 1u);
}

TEST_F(Poll, DeviceFailuresSpoilOnlyThatEntrysList) {
  audio.setProcessList({10, 11, 12, 13, 14, 15, 16});
  const std::vector<std::pair<AudioObjectID, std::int32_t>> processes{
      {10, 100}, {11, 110}, {12, 120}, {13, 130}, {14, 140}, {15, 150}, {16, 160}};
  for (const auto& [object, pid] : processes) {
    addApplication(pid, "com.example.p" + std::to_string(pid), std::nullopt);
  }
  audio.addDevice(100, "good", "Good");
  audio.addDevice(101, "nameless", "x");
  audio.remove(101, kAudioObjectPropertyName);
  audio.addDevice(102, "failing", "x");
  audio.failDataRead(102, kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal, -1);
  audio.addDevice(103, "null-name", "x");
  audio.setNullText(103, kAudioObjectPropertyName);

  audio.addProcess(10, 100, true, {100, 101});  // one device without a name
  audio.addProcess(11, 110, true, {102, 100});  // a failing uid read
  audio.addProcess(12, 120, true, {0});         // the unknown object
  audio.addProcess(13, 130, true, {});
  audio.remove(13, kAudioProcessPropertyDevices, kAudioObjectPropertyScopeInput);
  audio.addProcess(14, 140, true, {100});
  audio.failDataRead(14, kAudioProcessPropertyDevices, kAudioObjectPropertyScopeInput, -3);
  audio.addProcess(15, 150, true, {103, 100, 100});  // a null name is an empty one
  audio.addProcess(16, 160, true, {});

  const auto apps = poll();
  ASSERT_TRUE(apps.has_value());
  ASSERT_EQ(apps->size(), 7u);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ((*apps)[i].inputDevices, std::nullopt) << "entry " << i;
  }
  EXPECT_EQ((*apps)[5].inputDevices,
            (Devices{{"null-name", ""}, {"good", "Good"}, {"good", "Good"}}));
  EXPECT_EQ((*apps)[6].inputDevices, Devices{});
  // The first bad device stops the reads of that list: names were asked (has-property, then
  // read) of 100 and 101 for process 10, of none for process 11, and of three for process 15.
  EXPECT_EQ(audio.readsOf(kAudioObjectPropertyName).size(), 3u + 6u);
}

}  // namespace
}  // namespace micdetector
