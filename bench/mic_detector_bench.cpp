// Cost of one detector poll (50 capturing processes with 4 input devices each) and of writing
// its snapshot line, in time and in heap allocations per iteration.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include <benchmark/benchmark.h>

#include "active_input_apps.h"
#include "fake_tables.h"
#include "plist_files.h"
#include "simulated_audio_layer.h"
#include "snapshot_writer.h"
#include "test_files.h"

namespace {

std::atomic<std::uint64_t> allocations{0};

}  // namespace

// Every heap allocation in this program passes through here and is counted.
void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace micdetector {
namespace {

constexpr int kProcesses = 50;
constexpr int kDevicesPerProcess = 4;
constexpr int kDevices = 8;

enum class IdentitySource { runningApplication, enclosingBundle, audioLayer };

// The audio graph and tables of a busy system: every listed process is capturing.
struct BusySystem {
  explicit BusySystem(IdentitySource source) {
    audio.recording = false;
    std::vector<AudioObjectID> processes;
    for (int d = 0; d < kDevices; ++d) {
      audio.addDevice(static_cast<AudioObjectID>(1000 + d),
                      "usb-audio-interface-" + std::to_string(d),
                      "USB Audio Interface " + std::to_string(d));
    }
    for (int p = 0; p < kProcesses; ++p) {
      const auto object = static_cast<AudioObjectID>(100 + p);
      const std::int32_t pid = 5000 + p;
      std::vector<AudioObjectID> devices;
      for (int d = 0; d < kDevicesPerProcess; ++d) {
        devices.push_back(static_cast<AudioObjectID>(1000 + (p + d) % kDevices));
      }
      processes.push_back(object);
      audio.addProcess(object, pid, true, devices);
      const std::string bundleId = "com.example.application-" + std::to_string(p);
      switch (source) {
        case IdentitySource::runningApplication:
          applications.applications[pid] = {bundleId, "Application " + std::to_string(p)};
          break;
        case IdentitySource::enclosingBundle: {
          const std::string bundle = directory.path() + "/App" + std::to_string(p) + ".app";
          testing::writeBundle(
              bundle,
              {{"CFBundleIdentifier", testing::PlistValue(bundleId)},
               {"CFBundleName", testing::PlistValue("Application " + std::to_string(p))}},
              p % 2 == 0);
          paths.paths[pid] = bundle + "/Contents/MacOS/App" + std::to_string(p);
          break;
        }
        case IdentitySource::audioLayer:
          audio.setText(object, kAudioProcessPropertyBundleID, bundleId);
          break;
      }
    }
    audio.setProcessList(processes);
  }

  testing::TempDir directory;
  testing::SimulatedAudioLayer audio;
  testing::FakeRunningApplications applications;
  testing::FakeProcessPaths paths;
  DetectorPlatform platform{audio, applications, paths, currentTimeMs};
};

void pollBenchmark(benchmark::State& state, IdentitySource source) {
  BusySystem system(source);
  const std::uint64_t before = allocations.load();
  for (auto _ : state) {
    auto apps = loadActiveInputApps(system.platform);
    if (!apps || apps->size() != kProcesses)
      state.SkipWithError("the poll did not list every process");
    benchmark::DoNotOptimize(apps);
  }
  state.counters["allocs_per_poll"] = benchmark::Counter(
      static_cast<double>(allocations.load() - before), benchmark::Counter::kAvgIterations);
}

void BM_PollRunningApplications(benchmark::State& state) {
  pollBenchmark(state, IdentitySource::runningApplication);
}
void BM_PollAudioLayerBundleIds(benchmark::State& state) {
  pollBenchmark(state, IdentitySource::audioLayer);
}
void BM_PollEnclosingBundlesOnDisk(benchmark::State& state) {
  pollBenchmark(state, IdentitySource::enclosingBundle);
}

void BM_WriteSnapshot(benchmark::State& state) {
  BusySystem system(IdentitySource::runningApplication);
  const auto apps = *loadActiveInputApps(system.platform);
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  SnapshotWriter writer(devNull);
  std::uint64_t copies = 0;
  const std::uint64_t before = allocations.load();
  for (auto _ : state) {
    // The poll hands its list over by moving it; the copy made here stands in for that list
    // and is measured apart.
    state.PauseTiming();
    const std::uint64_t beforeCopy = allocations.load();
    auto list = apps;
    copies += allocations.load() - beforeCopy;
    state.ResumeTiming();
    writer.write(std::move(list));
  }
  ::close(devNull);
  state.counters["allocs_per_write"] =
      benchmark::Counter(static_cast<double>(allocations.load() - before - copies),
                         benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_PollRunningApplications)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PollAudioLayerBundleIds)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PollEnclosingBundlesOnDisk)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WriteSnapshot)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace micdetector

BENCHMARK_MAIN();
