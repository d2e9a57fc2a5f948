// The sound server's pictures as audio objects, fed by a scripted server: which clients become
// processes, what they record from, identifiers over time, and a server that goes away.
#include "platform/linux/pulse_audio_layer.h"

#include <algorithm>
#include <chrono>

#include <gtest/gtest.h>

#include "active_input_apps.h"
#include "audio_properties.h"
#include "fake_tables.h"

namespace micdetector {
namespace {

using Client = PulseServerState::Client;
using Source = PulseServerState::Source;
using Output = PulseServerState::SourceOutput;
using Devices = std::vector<MicInputDevice>;

class ScriptedServer final : public PulseServerReader {
 public:
  const PulseServerState* readState() override {
    ++reads;
    return state ? &*state : nullptr;
  }
  std::optional<PulseServerState> state = PulseServerState{};
  int reads = 0;
};

Client client(std::uint32_t index, std::optional<std::string> applicationId,
              std::optional<std::string> pid) {
  return {index,       std::move(applicationId), std::nullopt, std::move(pid), std::nullopt,
          std::nullopt};
}

class PulseLayer : public ::testing::Test {
 protected:
  std::vector<AudioObjectID> processes() {
    auto list =
        getObjectIDs(*layer, kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList,
                     kAudioObjectPropertyScopeGlobal);
    EXPECT_TRUE(list.has_value());
    return list.value_or(std::vector<AudioObjectID>{});
  }
  std::uint32_t value(AudioObjectID object, AudioObjectPropertySelector selector) {
    return getUInt32Property(*layer, object, selector).value_or(0xdeadbeef);
  }
  std::vector<AudioObjectID> devicesOf(AudioObjectID process) {
    return getObjectIDs(*layer, process, kAudioProcessPropertyDevices,
                        kAudioObjectPropertyScopeInput)
        .value_or(std::vector<AudioObjectID>{0xdeadbeef});
  }
  std::optional<std::string> text(AudioObjectID object, AudioObjectPropertySelector selector) {
    return getTextProperty(*layer, object, selector);
  }
  std::expected<std::vector<MicActiveApp>, DetectorError> poll() {
    return loadActiveInputApps(platform);
  }

  ScriptedServer* server = new ScriptedServer;  // owned by the layer
  std::unique_ptr<PulseAudioLayer> layer =
      std::make_unique<PulseAudioLayer>(std::unique_ptr<PulseServerReader>(server),
                                        [this](std::int32_t pid) { return pid != gonePid; });
  std::int32_t gonePid = -1;  // a process whose streams the server still lists
  testing::FakeRunningApplications applications;
  testing::FakeProcessPaths paths;
  DetectorPlatform platform{*layer, applications, paths, [] { return std::uint64_t{7}; }};
};

TEST_F(PulseLayer, RecordingClientsBecomeProcessesThatRecordFromNonMonitorSources) {
  server->state = PulseServerState{
      .sourceOutputs = {{0, 11, 2, false, false},
                        {1, 10, 0, false, false},
                        {2, 12, 1, false, false},    // a sink's monitor
                        {3, 13, 0, false, false},    // a volume meter application
                        {4, 14, 0, false, false},    // a client without a usable pid
                        {5, 15, 0, false, true},     // a peak-detecting stream
                        {6, 16, 3, false, false},    // a source without description
                        {7, 99, 0, false, false},    // its client has gone
                        {8, 17, 0, true, false},     // corked
                        {9, 10, 2, false, false},    // a device already listed
                        {10, 17, 99, false, false},  // its source has gone
                        {11, 18, 0, true, false},    // paused, in a process that also
                        {12, 19, 2, false, false}},  // captures under another name
      .sources = {{0, "alsa_input.usb-mic", "USB Mic", false},
                  {1, "speakers.monitor", "Monitor of Speakers", true},
                  {2, "alsa_input.pci", "Built-in Audio", false},
                  {3, "virtual", std::nullopt, false}},
      .clients = {client(10, "org.example.A", "100"),
                  client(11, std::nullopt, "100"),  // a second connection of the same process
                  client(12, "org.example.Monitor", "200"),
                  client(13, "org.PulseAudio.pavucontrol", "300"),
                  client(14, "org.example.NoPid", "abc"),
                  client(15, "org.example.Peak", "400"),
                  {16, std::nullopt, "org.example.Portal", "500", "501"},
                  client(17, "org.example.Corked", "600"),
                  client(18, "org.example.Paused", "700"),
                  client(19, "org.example.Live", "700")}};

  const auto list = processes();
  ASSERT_EQ(list.size(), 5u);
  std::vector<std::uint32_t> pids;
  for (AudioObjectID process : list) pids.push_back(value(process, kAudioProcessPropertyPID));
  EXPECT_EQ(pids, (std::vector<std::uint32_t>{100, 200, 501, 600, 700}));

  // The first of a process's clients with an application id names it.
  EXPECT_EQ(value(list[0], kAudioProcessPropertyIsRunningInput), 1u);
  EXPECT_EQ(text(list[0], kAudioProcessPropertyBundleID), "org.example.A");
  const auto devices = devicesOf(list[0]);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(text(devices[0], kAudioDevicePropertyDeviceUID), "alsa_input.pci");
  EXPECT_EQ(text(devices[0], kAudioObjectPropertyName), "Built-in Audio");
  EXPECT_EQ(text(devices[1], kAudioDevicePropertyDeviceUID), "alsa_input.usb-mic");

  EXPECT_EQ(value(list[1], kAudioProcessPropertyIsRunningInput), 0u);
  EXPECT_EQ(devicesOf(list[1]), std::vector<AudioObjectID>{});

  EXPECT_EQ(text(list[2], kAudioProcessPropertyBundleID), "org.example.Portal");
  EXPECT_EQ(text(devicesOf(list[2]).at(0), kAudioObjectPropertyName), std::nullopt);

  // A corked stream is not running input, and its source is not the process's device.
  EXPECT_EQ(value(list[3], kAudioProcessPropertyIsRunningInput), 0u);
  EXPECT_EQ(devicesOf(list[3]), std::vector<AudioObjectID>{});

  auto apps = poll();
  ASSERT_TRUE(apps.has_value());
  std::vector<MicActiveApp> expected{
      {"org.example.A", 100, 7, std::nullopt,
       Devices{{"alsa_input.pci", "Built-in Audio"}, {"alsa_input.usb-mic", "USB Mic"}}},
      {"org.example.Portal", 501, 7, std::nullopt, std::nullopt},
      {"org.example.Live", 700, 7, std::nullopt, Devices{{"alsa_input.pci", "Built-in Audio"}}},
  };
  EXPECT_EQ(*apps, expected);

  // A process that has ended records nothing, though the server has not let go of its stream.
  gonePid = 501;
  apps = poll();
  ASSERT_TRUE(apps.has_value());
  expected.erase(expected.begin() + 1);
  EXPECT_EQ(*apps, expected);
}

TEST_F(PulseLayer, IdentifiersLastAsLongAsTheirObjectsAndGoneObjectsFailReads) {
  PulseServerState state{.sourceOutputs = {{0, 1, 0, false, false}},
                         .sources = {{0, "mic", "Mic", false}},
                         .clients = {client(1, "org.example.A", "100")}};
  server->state = state;
  const AudioObjectID first = processes().at(0);
  const AudioObjectID mic = devicesOf(first).at(0);
  EXPECT_NE(first, kAudioObjectUnknown);
  EXPECT_NE(first, kAudioObjectSystemObject);
  EXPECT_NE(mic, kAudioObjectUnknown);
  EXPECT_NE(mic, kAudioObjectSystemObject);
  EXPECT_NE(first, mic);

  state.sourceOutputs.push_back({1, 2, 0, false, false});
  state.clients.push_back(client(2, "org.example.B", "200"));
  server->state = state;
  const auto both = processes();
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0], first);
  EXPECT_NE(both[1], first);
  EXPECT_NE(both[1], mic);
  EXPECT_EQ(devicesOf(both[1]), std::vector<AudioObjectID>{mic});

  // The first process stops recording: its object has gone.
  state.sourceOutputs.erase(state.sourceOutputs.begin());
  server->state = state;
  EXPECT_EQ(processes(), std::vector<AudioObjectID>{both[1]});
  EXPECT_FALSE(layer->hasProperty(first, {kAudioProcessPropertyPID}));
  EXPECT_EQ(getUInt32Property(*layer, first, kAudioProcessPropertyIsRunningInput),
            std::unexpected(kAudioHardwareBadObjectError));
  EXPECT_EQ(text(first, kAudioProcessPropertyBundleID), std::nullopt);

  // No server: every poll fails on the process list, and no object is left.
  server->state = std::nullopt;
  const auto failed = poll();
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().errorDescription(),
            "CoreAudio call failed for selector 1886548771 with status 1937010544");
  EXPECT_EQ(getUInt32Property(*layer, both[1], kAudioProcessPropertyPID),
            std::unexpected(kAudioHardwareBadObjectError));
  EXPECT_EQ(text(mic, kAudioDevicePropertyDeviceUID), std::nullopt);

  // The server is back: the same layer answers again, with the identifiers it gave before.
  server->state = state;
  EXPECT_EQ(processes(), std::vector<AudioObjectID>{both[1]});
  EXPECT_EQ(devicesOf(both[1]), std::vector<AudioObjectID>{mic});
  const auto apps = poll();
  ASSERT_TRUE(apps.has_value());
  EXPECT_EQ(apps->size(), 1u);
}

TEST_F(PulseLayer, AListReadTakesOnePictureAndOtherReadsAnswerFromIt) {
  server->state = PulseServerState{
      .sourceOutputs = {{0, 1, 0, false, false}, {1, 2, 0, false, false}},
      .sources = {{0, "mic", "Mic", false}},
      .clients = {client(1, "org.example.A", "100"), client(2, "org.example.B", "200")}};
  ASSERT_TRUE(poll().has_value());
  EXPECT_EQ(server->reads, 1);

  // A data read without its size read takes a picture of its own, and fills whole entries.
  const AudioObjectPropertyAddress list{kAudioHardwarePropertyProcessObjectList};
  AudioObjectID buffer[3] = {0, 0, 0};
  std::uint32_t size = 6;
  EXPECT_EQ(layer->getPropertyData(kAudioObjectSystemObject, list, size, buffer), 0);
  EXPECT_EQ(server->reads, 2);
  EXPECT_EQ(size, 4u);
  EXPECT_NE(buffer[0], kAudioObjectUnknown);
  EXPECT_EQ(buffer[1], kAudioObjectUnknown);

  // Reads that do not fit the property.
  std::uint16_t small = 0;
  size = sizeof small;
  EXPECT_EQ(layer->getPropertyData(buffer[0], {kAudioProcessPropertyPID}, size, &small),
            kAudioHardwareBadPropertySizeError);
  EXPECT_FALSE(layer->hasProperty(buffer[0], {kAudioProcessPropertyDevices}));  // global scope
  EXPECT_FALSE(layer->hasProperty(kAudioObjectSystemObject, {kAudioProcessPropertyPID}));
  std::uint32_t ignored = 0;
  EXPECT_EQ(layer->getPropertyDataSize(buffer[0], {kAudioDevicePropertyDeviceUID}, ignored),
            kAudioHardwareUnknownPropertyError);
  std::optional<std::string> name;
  EXPECT_EQ(layer->getPropertyText(buffer[0], {kAudioProcessPropertyPID}, name),
            kAudioHardwareIllegalOperationError);
  EXPECT_EQ(server->reads, 2);
}

TEST(PulseLookups, AProcessIsLookedUpAgainOnlyWhenItsConnectionsChangeOrItsAnswersAreOld) {
  auto* server = new ScriptedServer;
  auto now = ProcessLookupCache::Clock::time_point();
  ProcessLookupCache cache(std::chrono::seconds(30), [&now] { return now; });
  PulseAudioLayer layer(std::unique_ptr<PulseServerReader>(server),
                        [](std::int32_t) { return true; }, &cache);
  auto* applications = new testing::FakeRunningApplications;
  auto* paths = new testing::FakeProcessPaths;
  const auto cachedApplications =
      cachedRunningApplications(std::unique_ptr<RunningApplications>(applications), cache);
  const auto cachedPaths = cachedProcessPaths(std::unique_ptr<ProcessPaths>(paths), cache);
  const DetectorPlatform platform{layer, *cachedApplications, *cachedPaths,
                                  [] { return std::uint64_t{7}; }};
  applications->applications[100] = {"org.example.A", "A"};
  paths->paths[200] = "/usr/bin/b";

  PulseServerState state{.sourceOutputs = {{0, 1, 0, false, false}, {1, 2, 0, false, false}},
                         .sources = {{0, "mic", "Mic", false}},
                         .clients = {client(1, std::nullopt, "100"),
                                     client(2, "org.example.B", "200")}};
  const Devices mic{{"mic", "Mic"}};
  const auto expectPoll = [&](std::optional<std::string> nameOfA, int lookups, int queries,
                              const char* step) {
    const auto apps = loadActiveInputApps(platform);
    ASSERT_TRUE(apps.has_value()) << step;
    EXPECT_EQ(*apps, (std::vector<MicActiveApp>{{"org.example.A", 100, 7, nameOfA, mic},
                                                {"org.example.B", 200, 7, std::nullopt, mic}}))
        << step;
    // Process 100 is named by its running application; 200 has none and an executable
    // outside any bundle, so both of its lookups are made.
    EXPECT_EQ(applications->lookups, lookups) << step;
    EXPECT_EQ(paths->queries, queries) << step;
  };

  server->state = state;
  expectPoll("A", 2, 1, "first poll");
  expectPoll("A", 2, 1, "nothing changed");
  applications->applications[100].localizedName = "Renamed";
  now += std::chrono::seconds(29);
  expectPoll("A", 2, 1, "answers kept");
  now += std::chrono::seconds(1);
  expectPoll("Renamed", 4, 2, "answers 30 s old");

  // Process 200 opens a second connection: only it is looked up again.
  state.clients.push_back(client(3, std::nullopt, "200"));
  state.sourceOutputs.push_back({2, 3, 0, false, false});
  server->state = state;
  expectPoll("Renamed", 5, 3, "a new connection");
  // Process 100's connection is replaced by another one (a pid used again, or a new program):
  // it is looked up again though the pid stayed in the picture.
  applications->applications[100].localizedName = "Other";
  state.clients[0].index = 4;
  state.sourceOutputs[0].client = 4;
  server->state = state;
  expectPoll("Other", 6, 3, "a replaced connection");

  // No server: everything is forgotten, and looked up again once it is back.
  server->state = std::nullopt;
  EXPECT_FALSE(loadActiveInputApps(platform).has_value());
  server->state = state;
  expectPoll("Other", 8, 4, "the server back");

  // A pid the layer does not show is never kept.
  char buffer[kProcessPathBufferSize];
  EXPECT_EQ(cachedPaths->pidPath(300, buffer, sizeof buffer), 0);
  EXPECT_EQ(cachedPaths->pidPath(300, buffer, sizeof buffer), 0);
  EXPECT_EQ(cachedApplications->applicationWithProcessIdentifier(300), std::nullopt);
  EXPECT_EQ(cachedApplications->applicationWithProcessIdentifier(300), std::nullopt);
  EXPECT_EQ(paths->queries, 6);
  EXPECT_EQ(applications->lookups, 10);
  // A kept path is written whole with its zero byte; a smaller buffer is asked of the table.
  std::fill(std::begin(buffer), std::end(buffer), 'x');
  EXPECT_EQ(cachedPaths->pidPath(200, buffer, sizeof buffer), 10);
  EXPECT_STREQ(buffer, "/usr/bin/b");
  EXPECT_EQ(paths->queries, 6);
  EXPECT_EQ(cachedPaths->pidPath(200, buffer, 5), 0);
  EXPECT_EQ(paths->queries, 7);
}

TEST(PulseClients, ProcessIdsAndIdsComeFromTheRightPropertiesAndMetersAreLeftOut) {
  const std::optional<std::string> none;
  struct Case {
    const char* what;
    Client client;
    Output output;
    std::optional<std::int32_t> pid;
  };
  const Case cases[] = {
      {"PulseAudio", {1, none, none, "42", none, none}, {}, 42},
      {"native PipeWire client", {1, none, none, "42", "7", none}, {}, 7},
      {"PipeWire record unusable", {1, none, none, "42", "x", none}, {}, 42},
      {"PulseAudio protocol on PipeWire",
       {1, none, none, "42", "7", "pipewire-pulse"},
       {.applicationProcessId = "43"},
       43},
      {"stream without a pid", {1, none, none, "42", "7", "pipewire-pulse"}, {}, 42},
      {"largest pid", {1, none, none, "2147483647", none, none}, {}, 2147483647},
      {"nothing", {}, {}, std::nullopt},
  };
  for (const Case& one : cases) {
    EXPECT_EQ(streamProcessId(one.client, one.output), one.pid) << one.what;
  }
  for (const char* bad : {"", "0", "-5", "12x", " 12", "2147483648"}) {
    EXPECT_EQ(streamProcessId(client(1, none, bad), {}), std::nullopt) << bad;
  }

  // The stream's own application properties come before its client's.
  const Client named{1, "org.example.Client", "org.example.ClientPortal", "5", none, none};
  EXPECT_EQ(streamBundleId(named, {.applicationId = "org.example.Stream"}), "org.example.Stream");
  EXPECT_EQ(streamBundleId(named, {.portalAppId = "org.example.Portal"}), "org.example.Portal");
  EXPECT_EQ(streamBundleId(named, {.applicationId = ""}), "org.example.Client");
  EXPECT_EQ(streamBundleId({1, none, "org.example.ClientPortal", "5", none, none}, {}),
            "org.example.ClientPortal");
  EXPECT_EQ(streamBundleId(client(1, none, "5"), {}), std::nullopt);

  const Output plain{}, peaks{.peakDetect = true};
  for (const char* meter : {"org.PulseAudio.pavucontrol", "org.gnome.VolumeControl",
                            "org.kde.kmixd", "org.kde.plasma-pa"}) {
    EXPECT_TRUE(isVolumeMeter(client(1, meter, "5"), plain)) << meter;
    EXPECT_TRUE(isVolumeMeter(client(1, none, "5"), {.applicationId = meter})) << meter;
  }
  EXPECT_FALSE(isVolumeMeter(client(1, "org.kde.kmix", "5"), plain));
  EXPECT_FALSE(isVolumeMeter(client(1, none, "5"), plain));
  EXPECT_TRUE(isVolumeMeter(client(1, none, "5"), peaks));
}

}  // namespace
}  // namespace micdetector
