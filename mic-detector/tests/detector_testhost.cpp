// A test build of the detector: the real frame, timer and writer over a simulated world given on
// the command line, so process-level tests can script what the polls see.
//   --app PID,BUNDLE_ID,DEVICE_UID,DEVICE_NAME   a process capturing from one device
//   --no-process-list                            every poll fails: no process list
//   --poll-delay-ms N / --first-poll-delay-ms N  polls (or the first poll) take N ms longer
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "detector_main.h"
#include "fake_tables.h"
#include "simulated_audio_layer.h"

namespace micdetector::testing {
namespace {

// Forwards to the simulated layer, making the process-list size read (the start of every poll)
// slow on request.
class DelayingAudioLayer final : public AudioLayer {
 public:
  explicit DelayingAudioLayer(AudioLayer& inner) : inner_(inner) {}
  std::chrono::milliseconds everyPoll{0};
  std::chrono::milliseconds firstPoll{0};

  bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) override {
    return inner_.hasProperty(object, address);
  }
  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t& size) override {
    if (object == kAudioObjectSystemObject &&
        address.mSelector == kAudioHardwarePropertyProcessObjectList) {
      std::this_thread::sleep_for(everyPoll +
                                  (polls_++ == 0 ? firstPoll : std::chrono::milliseconds(0)));
    }
    return inner_.getPropertyDataSize(object, address, size);
  }
  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t& ioSize, void* data) override {
    return inner_.getPropertyData(object, address, ioSize, data);
  }
  OSStatus getPropertyText(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::optional<std::string>& text) override {
    return inner_.getPropertyText(object, address, text);
  }

 private:
  AudioLayer& inner_;
  std::atomic<int> polls_ = 0;
};

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0, end;
  while ((end = text.find(separator, start)) != std::string::npos) {
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  parts.push_back(text.substr(start));
  return parts;
}

}  // namespace
}  // namespace micdetector::testing

int main(int argc, char** argv) {
  using namespace micdetector;
  using namespace micdetector::testing;
  VandrelisMicDetectorMain::prepareSignals();
  static SimulatedAudioLayer world;
  static FakeRunningApplications applications;
  static FakeProcessPaths paths;
  static DelayingAudioLayer audio(world);
  world.recording = false;
  std::vector<AudioObjectID> processes;
  AudioObjectID nextObject = 100;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const std::string value = i + 1 < argc ? argv[i + 1] : "";
    if (option == "--app") {
      const auto fields = split(value, ',');
      if (fields.size() != 4) return 2;
      const std::int32_t pid = std::atoi(fields[0].c_str());
      const AudioObjectID process = nextObject++, device = nextObject++;
      world.addDevice(device, fields[2], fields[3]);
      world.addProcess(process, pid, true, {device});
      applications.applications[pid] = RunningApplication{fields[1], std::nullopt};
      processes.push_back(process);
      ++i;
    } else if (option == "--poll-delay-ms") {
      audio.everyPoll = std::chrono::milliseconds(std::atoi(value.c_str()));
      ++i;
    } else if (option == "--first-poll-delay-ms") {
      audio.firstPoll = std::chrono::milliseconds(std::atoi(value.c_str()));
      ++i;
    } else if (option == "--no-process-list") {
      processes.clear();
      nextObject = 0;
    } else {
      return 2;
    }
  }
  if (nextObject != 0) world.setProcessList(processes);
  VandrelisMicDetectorMain::main(DetectorPlatform{audio, applications, paths, currentTimeMs});
}
