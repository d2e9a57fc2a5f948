// Cost of one detector poll against a private PulseAudio server with 0 and with 10 recording
// clients, through the real audio layer, running-application lookup and executable paths.
#include <benchmark/benchmark.h>

#include "active_input_apps.h"
#include "platform/linux/pulse_audio_layer.h"
#include "platform/linux/pulse_connection.h"
#include "pulse_server.h"

namespace micdetector {
namespace {

void PollOfAPrivateServer(benchmark::State& state) {
  if (const auto missing = testing::pulseServerMissing()) {
    state.SkipWithError(missing->c_str());
    return;
  }
  testing::PulseServer server;
  const auto recorders = static_cast<std::size_t>(state.range(0));
  std::vector<std::unique_ptr<testing::ChildProcess>> clients;
  for (std::size_t i = 0; i < recorders; ++i) {
    clients.push_back(
        server.record("mic", "application.id=org.example.Recorder" + std::to_string(i)));
  }
  server.waitForSourceOutputs(recorders);
  PulseAudioLayer audio(std::make_unique<PulseConnection>(server.address()));
  const auto applications = makeSystemRunningApplications();
  const auto paths = makeSystemProcessPaths();
  const DetectorPlatform platform{audio, *applications, *paths, currentTimeMs};
  for (auto _ : state) {
    auto apps = loadActiveInputApps(platform);
    if (!apps || apps->size() != recorders) {
      state.SkipWithError("the poll did not see the recorders");
      return;
    }
    benchmark::DoNotOptimize(apps);
  }
}
BENCHMARK(PollOfAPrivateServer)->Arg(0)->Arg(10)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace micdetector
