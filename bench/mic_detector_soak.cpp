// Runs the real detector (queue, timer, poll, writer) over a simulated world with a short
// interval until it has polled N times, and prints the resident memory along the way, so that
// growth across many polls shows. Lines go to /dev/null.
//   mic_detector_soak [polls=10000] [interval_us=200]
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "fake_tables.h"
#include "mic_detector.h"
#include "simulated_audio_layer.h"

namespace {

std::atomic<long> stamps{0};

// The writer stamps each line once: counting stamps counts polls that wrote a line.
std::uint64_t countingClock() {
  stamps.fetch_add(1);
  return micdetector::currentTimeMs();
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace micdetector;
  using namespace micdetector::testing;
  const long polls = argc > 1 ? std::atol(argv[1]) : 10000;
  const long intervalUs = argc > 2 ? std::atol(argv[2]) : 200;

  SimulatedAudioLayer world;
  world.recording = false;
  FakeRunningApplications applications;
  FakeProcessPaths paths;
  std::vector<AudioObjectID> processes;
  for (AudioObjectID i = 0; i < 5; ++i) {
    const AudioObjectID process = 100 + 2 * i, device = 101 + 2 * i;
    world.addDevice(device, "usb-microphone-" + std::to_string(i), "USB Microphone " + std::to_string(i));
    world.addProcess(process, static_cast<std::int32_t>(1000 + i), true, {device});
    applications.applications[static_cast<std::int32_t>(1000 + i)] =
        RunningApplication{"com.example.recorder" + std::to_string(i), "Recorder"};
    processes.push_back(process);
  }
  world.setProcessList(processes);

  const int devNull = ::open("/dev/null", O_WRONLY);
  auto detector = std::make_shared<MicDetector>(
      DetectorPlatform{world, applications, paths, currentTimeMs},
      SnapshotWriter(devNull, countingClock), std::chrono::microseconds(intervalUs));
  detector->start();
  long nextReport = polls / 10;
  while (stamps.load() < polls) {
    if (stamps.load() >= nextReport) {
      std::printf("polls %ld rss_kib %ld\n", stamps.load(), residentKiB());
      nextReport += polls / 10;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::printf("polls %ld rss_kib %ld\n", stamps.load(), residentKiB());
  detector->stop();
  std::fflush(stdout);
  ::_exit(0);
}
