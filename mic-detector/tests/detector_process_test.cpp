// The detector as a process: the real program for its frame, and a test build of it over a
// scripted world for what the polls write and when.
#include <signal.h>

#include <regex>

#include <gtest/gtest.h>

#include "running_program.h"

namespace micdetector::testing {
namespace {

using namespace std::chrono_literals;

const std::string kStarted = "[vandrelis-mic-detector] Microphone activity detector started";
const std::string kStopped = "[vandrelis-mic-detector] Microphone activity detector stopped";
const std::string kNoProcessList =
    "[vandrelis-mic-detector] ERROR: Failed to load active input apps: Audio property "
    "unavailable for selector 1886548771";

long long field(const std::string& line, const std::string& key) {
  std::smatch match;
  if (!std::regex_search(line, match, std::regex("\"" + key + "\":(-?[0-9]+)"))) return -1;
  return std::stoll(match[1]);
}

int count(const std::vector<TimedLine>& lines, const std::string& text) {
  int n = 0;
  for (const auto& line : lines) n += line.text == text;
  return n;
}

TEST(DetectorProcess, StartsAndStopsOnSigtermIgnoringArgumentsAndInput) {
  RunningProgram detector({MIC_DETECTOR_BINARY, "--help", "extra"});
  detector.writeInput("quit\n");
  ASSERT_TRUE(detector.waitForErrLines(1, 5s));
  detector.signal(SIGTERM);
  EXPECT_EQ(detector.waitForExit(10s), 0);
  const auto err = detector.errLines();
  ASSERT_GE(err.size(), 2u);
  EXPECT_EQ(err.front().text, kStarted);
  EXPECT_EQ(err.back().text, kStopped);
  EXPECT_EQ(count(err, kStopped), 1);
}

TEST(DetectorProcess, TwoSigtermsGiveOneStoppedLine) {
  RunningProgram detector({MIC_DETECTOR_TESTHOST, "--app", "7,com.example.A,uid,Mic"});
  ASSERT_TRUE(detector.waitForErrLines(1, 5s));
  detector.signal(SIGTERM);
  detector.signal(SIGTERM);
  EXPECT_EQ(detector.waitForExit(10s), 0);
  const auto err = detector.errLines();
  EXPECT_EQ(count(err, kStopped), 1);
  EXPECT_EQ(err.back().text, kStopped);
  EXPECT_EQ(detector.outTail(), "") << "a cut line was left on stdout";
}

TEST(DetectorProcess, SigintEndsByDefaultActionWithoutStoppedLine) {
  RunningProgram detector({MIC_DETECTOR_TESTHOST, "--app", "7,com.example.A,uid,Mic"});
  ASSERT_TRUE(detector.waitForErrLines(1, 5s));
  detector.signal(SIGINT);
  EXPECT_EQ(detector.waitForExit(10s), 128 + SIGINT);
  EXPECT_EQ(count(detector.errLines(), kStopped), 0);
}

TEST(DetectorProcess, SigtermDuringASlowPollStillStopsCleanly) {
  RunningProgram detector(
      {MIC_DETECTOR_TESTHOST, "--poll-delay-ms", "3000", "--app", "7,com.example.A,uid,Mic"});
  ASSERT_TRUE(detector.waitForErrLines(1, 5s));
  std::this_thread::sleep_for(300ms);  // the first poll is now under way
  detector.signal(SIGTERM);
  EXPECT_EQ(detector.waitForExit(10s), 0);
  const auto err = detector.errLines();
  EXPECT_EQ(err.back().text, kStopped);
  EXPECT_EQ(detector.outLines().size(), 0u);
  EXPECT_EQ(detector.outTail(), "");
}

TEST(DetectorProcess, FirstLineAtOnceThenOneASecondWithIdenticalStates) {
  RunningProgram detector({MIC_DETECTOR_TESTHOST, "--app",
                           "4242,com.example.Recorder,"
                           "usb-mic,USB Microphone"});
  ASSERT_TRUE(detector.waitForOutLines(3, 6s));
  detector.signal(SIGTERM);
  EXPECT_EQ(detector.waitForExit(10s), 0);
  const auto out = detector.outLines();
  const auto err = detector.errLines();
  ASSERT_GE(err.size(), 1u);
  EXPECT_EQ(err.front().text, kStarted);
  // The first tick does not wait for the first second.
  EXPECT_LT(out[0].arrived - err.front().arrived, 700ms);
  const long long first = field(out[0].text, "timestampMs");
  const long long third = field(out[2].text, "timestampMs");
  EXPECT_NEAR(static_cast<double>(third - first), 2000.0, 300.0);
  // Identical states differ only in their times.
  const std::regex times("\"(timestampMs|detectedAtMs)\":[0-9]+");
  EXPECT_EQ(std::regex_replace(out[0].text, times, "T"),
            std::regex_replace(out[1].text, times, "T"));
  EXPECT_EQ(std::regex_replace(out[1].text, times, "T"),
            std::regex_replace(out[2].text, times, "T"));
  EXPECT_NE(out[0].text.find("\"bundleId\":\"com.example.Recorder\""), std::string::npos)
      << out[0].text;
  EXPECT_NE(out[0].text.find("\"pid\":4242"), std::string::npos) << out[0].text;
}

TEST(DetectorProcess, FailingPollsLogOneErrorASecondAndWriteNothing) {
  RunningProgram detector({MIC_DETECTOR_TESTHOST, "--no-process-list"});
  ASSERT_TRUE(detector.waitForErrLines(4, 6s));
  detector.signal(SIGTERM);
  EXPECT_EQ(detector.waitForExit(10s), 0);
  const auto err = detector.errLines();
  EXPECT_EQ(err[0].text, kStarted);
  for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(err[i].text, kNoProcessList);
  EXPECT_NEAR(std::chrono::duration<double>(err[3].arrived - err[1].arrived).count(), 2.0, 0.4);
  EXPECT_EQ(detector.outLines().size(), 0u);
  EXPECT_EQ(detector.outTail(), "");
}

TEST(DetectorProcess, ASlowPollMergesTheTicksThatCameDue) {
  // The first poll takes 3.3 s: the three ticks that come due meanwhile give one more poll
  // right after it, not three in a row.
  RunningProgram detector(
      {MIC_DETECTOR_TESTHOST, "--first-poll-delay-ms", "3300", "--app", "7,com.example.A,uid,Mic"});
  ASSERT_TRUE(detector.waitForOutLines(3, 8s));
  detector.signal(SIGTERM);
  EXPECT_EQ(detector.waitForExit(10s), 0);
  const auto out = detector.outLines();
  const long long t1 = field(out[0].text, "timestampMs");
  const long long t2 = field(out[1].text, "timestampMs");
  const long long t3 = field(out[2].text, "timestampMs");
  EXPECT_LT(t2 - t1, 300) << "the merged tick runs as soon as the slow one ends";
  EXPECT_GT(t3 - t1, 400) << "ticks that came due were queued instead of merged";
}

}  // namespace
}  // namespace micdetector::testing
