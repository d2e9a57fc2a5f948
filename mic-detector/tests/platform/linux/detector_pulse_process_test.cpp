// The built program on a private PulseAudio server with real recorders: its snapshot lines
// second by second, and its log while the server goes away and comes back.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/running_applications.h"
#include "plist_files.h"
#include "pulse_server.h"
#include "test_files.h"

namespace micdetector {
namespace {

#define REQUIRE_PULSE_SERVER()                                        \
  if (const auto missing = testing::pulseServerMissing(GetParam())) { \
    if (testing::runningInCi()) FAIL() << *missing;                   \
    GTEST_SKIP() << *missing;                                         \
  }

constexpr auto kPatience = std::chrono::seconds(6);

std::vector<std::string> completeLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (!stream.eof()) lines.push_back(line);
  }
  return lines;
}

// A snapshot line with its times replaced by "T", so lines can be compared byte for byte.
std::string withoutTimes(const std::string& line) {
  static const std::regex times("\"(timestampMs|detectedAtMs)\":[0-9]+");
  return std::regex_replace(line, times, "\"$1\":T");
}

// The expected entry of a recorder on the private microphone. A recorder started by this test
// runs where the test runs, so the session may already name it: the rule that names it on the
// desktop is asked too.
std::string entry(std::string bundleId, pid_t pid) {
  std::string name;
  if (const auto application =
          makeSystemRunningApplications()->applicationWithProcessIdentifier(pid);
      application && application->bundleIdentifier && !application->bundleIdentifier->empty()) {
    bundleId = *application->bundleIdentifier;
    if (application->localizedName)
      name = ",\"applicationName\":\"" + *application->localizedName + "\"";
  }
  return "{\"bundleId\":\"" + bundleId + "\",\"pid\":" + std::to_string(pid) +
         ",\"detectedAtMs\":T" + name +
         ",\"inputDevices\":[{\"uid\":\"mic\",\"name\":\"Microphone\"}]}";
}

std::string snapshot(const std::vector<std::string>& entries) {
  std::string apps;
  for (const std::string& one : entries) apps += (apps.empty() ? "" : ",") + one;
  return "{\"type\":\"snapshot\",\"timestampMs\":T,\"apps\":[" + apps + "]}";
}

class RunningDetector {
 public:
  explicit RunningDetector(const testing::PulseServer& server)
      : outPath_(directory_.path() + "/out"),
        errPath_(directory_.path() + "/err"),
        process_({MIC_DETECTOR_BINARY}, {&server.environment(), outPath_, errPath_}) {}

  std::vector<std::string> out() const { return completeLines(testing::readFile(outPath_)); }
  std::vector<std::string> err() const { return completeLines(testing::readFile(errPath_)); }

  // Waits for a new line of standard output (after the ones seen so far) that, with its
  // times taken out, is `wanted`; fails the test when none comes in time.
  void waitForSnapshot(const std::string& wanted) {
    waitFor(
        [&] {
          const auto lines = out();
          for (; seen_ < lines.size(); ++seen_) {
            if (withoutTimes(lines[seen_]) == wanted) return true;
          }
          return false;
        },
        "the snapshot " + wanted);
  }

  void waitFor(const std::function<bool()>& done, const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "waited in vain for " << what << "\nstdout:\n"
                      << testing::readFile(outPath_) << "stderr:\n"
                      << testing::readFile(errPath_);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  int stop() { return process_.stop(SIGTERM); }

 private:
  testing::TempDir directory_;
  std::string outPath_;
  std::string errPath_;
  testing::ChildProcess process_;
  std::size_t seen_ = 0;
};

class DetectorOnPulseServer : public ::testing::TestWithParam<testing::SoundServer> {};

INSTANTIATE_TEST_SUITE_P(BothServers, DetectorOnPulseServer,
                         ::testing::Values(testing::SoundServer::pulseAudio,
                                           testing::SoundServer::pipeWire),
                         [](const auto& param) { return testing::serverName(param.param); });

TEST_P(DetectorOnPulseServer, ReportsTheRecordersSecondBySecond) {
  REQUIRE_PULSE_SERVER();
  testing::PulseServer server(GetParam());
  const std::string bundle = server.directory() + "/Recorder.app";
  testing::writeBundle(bundle, {{"CFBundleIdentifier", std::string("org.example.Bundled")}}, false);
  testing::makeDirectories(bundle + "/Contents/MacOS");
  std::filesystem::copy_file("/usr/bin/parecord", bundle + "/Contents/MacOS/Recorder");

  auto first = server.record("mic", "application.id=org.example.First");
  const auto anonymous = server.record("mic", "");
  const auto monitor = server.record("speakers.monitor", "application.id=org.example.Monitor");
  server.waitForSourceOutputs(3);
  RunningDetector detector(server);
  detector.waitForSnapshot(snapshot({entry("org.example.First", first->pid())}));

  const auto bundled = server.record("mic", "", bundle + "/Contents/MacOS/Recorder");
  server.waitForSourceOutputs(4);
  detector.waitForSnapshot(snapshot(
      {entry("org.example.First", first->pid()), entry("org.example.Bundled", bundled->pid())}));
  // The processes the detector saw are those pactl lists.
  const auto listed = server.recordingProcessIds();
  EXPECT_EQ(
      std::set<std::string>(listed.begin(), listed.end()),
      (std::set<std::string>{std::to_string(first->pid()), std::to_string(anonymous->pid()),
                             std::to_string(monitor->pid()), std::to_string(bundled->pid())}));

  first.reset();
  server.waitForSourceOutputs(3);
  detector.waitForSnapshot(snapshot({entry("org.example.Bundled", bundled->pid())}));

  EXPECT_EQ(detector.stop(), 0);
  const auto log = detector.err();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(), "[vandrelis-mic-detector] Microphone activity detector started");
  EXPECT_EQ(log.back(), "[vandrelis-mic-detector] Microphone activity detector stopped");
  EXPECT_EQ(log.size(), 2u) << "no poll may fail while the server runs";
}

TEST_P(DetectorOnPulseServer, LogsEachSecondWhileTheServerIsGoneAndGoesOnWhenItIsBack) {
  REQUIRE_PULSE_SERVER();
  testing::PulseServer server(GetParam());
  RunningDetector detector(server);
  detector.waitForSnapshot(snapshot({}));

  server.stop();
  const std::string failure =
      "[vandrelis-mic-detector] ERROR: Failed to load active input apps: CoreAudio call failed "
      "for selector 1886548771 with status 1937010544";
  detector.waitFor([&] { return std::ranges::count(detector.err(), failure) >= 2; },
                   "two failed polls");

  server.start();
  const auto recorder = server.record("mic", "application.id=org.example.Back");
  server.waitForSourceOutputs(1);
  detector.waitForSnapshot(snapshot({entry("org.example.Back", recorder->pid())}));
  EXPECT_EQ(detector.stop(), 0);
  for (const std::string& line : detector.out()) {
    EXPECT_TRUE(line.starts_with("{\"type\":\"snapshot\"")) << line;
  }
}

}  // namespace
}  // namespace micdetector
