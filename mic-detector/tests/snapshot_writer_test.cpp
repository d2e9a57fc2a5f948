// Snapshot lines and log lines as bytes on their descriptors, whole even when writes are
// interrupted or short.
#include "snapshot_writer.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "fd_write.h"
#include "logger.h"
#include "test_files.h"

namespace micdetector {
namespace {

using testing::FdCapture;

std::uint64_t fixedClock() { return 1733660000123; }

TEST(SnapshotWriter, WritesOneStampedLinePerCall) {
  testing::TempDir directory;
  const std::string path = directory.path() + "/out";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  SnapshotWriter writer(fd, fixedClock);
  writer.write({});
  writer.write({{"com.example.a/b", 7, 1733660000120, "R\xC3\xA9", std::nullopt}});
  ::close(fd);
  EXPECT_EQ(testing::readFile(path),
            "{\"type\":\"snapshot\",\"timestampMs\":1733660000123,\"apps\":[]}\n"
            "{\"type\":\"snapshot\",\"timestampMs\":1733660000123,\"apps\":[{\"bundleId\":"
            "\"com.example.a\\/b\",\"pid\":7,\"detectedAtMs\":1733660000120,"
            "\"applicationName\":\"R\xC3\xA9\"}]}\n");
}

TEST(SnapshotWriter, StampsWithTheWallClockAfterThePoll) {
  testing::TempDir directory;
  const std::string path = directory.path() + "/out";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  const std::uint64_t before = currentTimeMs();
  SnapshotWriter(fd).write({});
  const std::uint64_t after = currentTimeMs();
  ::close(fd);
  const std::string line = testing::readFile(path);
  const std::size_t at = line.find("\"timestampMs\":") + 14;
  const std::uint64_t stamp = std::stoull(line.substr(at));
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);

  using std::chrono::system_clock;
  EXPECT_EQ(millisecondsSinceEpoch(system_clock::time_point{}), 0u);
  EXPECT_EQ(millisecondsSinceEpoch(system_clock::time_point{std::chrono::microseconds(1999)}), 1u);
  // Before 1970 there is no millisecond count; 0 is written.
  EXPECT_EQ(millisecondsSinceEpoch(system_clock::time_point{std::chrono::hours(-24)}), 0u);
}

void ignoreSignal(int) {}

TEST(SnapshotWriter, LinesStayWholeThroughInterruptedAndShortWrites) {
  // A signal without SA_RESTART interrupts a write blocked on a full pipe, which then returns
  // short or fails with EINTR; the line must still arrive whole.
  struct sigaction action {};
  action.sa_handler = ignoreSignal;
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  std::vector<MicActiveApp> apps;
  for (int i = 0; i < 4000; ++i) {
    apps.push_back({"com.example.app" + std::to_string(i), i, 1, "Name",
                    std::vector<MicInputDevice>{{"uid", "Device/" + std::to_string(i)}}});
  }
  const std::string expected = encodeJson({"snapshot", fixedClock(), apps}) + "\n";

  std::atomic<bool> done = false;
  std::thread writing([&] {
    SnapshotWriter(pipeFds[1], fixedClock).write(apps);
    done = true;
  });
  std::string received;
  char chunk[1000];
  while (received.size() < expected.size()) {
    if (!done) ::pthread_kill(writing.native_handle(), SIGUSR1);
    const ssize_t got = ::read(pipeFds[0], chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    ASSERT_GT(got, 0);
    received.append(chunk, static_cast<std::size_t>(got));
  }
  writing.join();
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
}

TEST(FdWrite, WaitsOnAFullNonBlockingDescriptorInsteadOfCuttingTheLine) {
  int pipeFds[2];
  ASSERT_EQ(testing::openPipe(pipeFds, O_NONBLOCK), 0);
  const std::string bytes(1 << 20, 'x');
  std::thread writing([&] { EXPECT_EQ(writeAll(pipeFds[1], bytes), 0); });
  std::string received;
  char chunk[65536];
  while (received.size() < bytes.size()) {
    const ssize_t got = ::read(pipeFds[0], chunk, sizeof chunk);
    if (got < 0 && errno == EAGAIN) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_GT(got, 0);
    received.append(chunk, static_cast<std::size_t>(got));
  }
  writing.join();
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  EXPECT_EQ(received.size(), bytes.size());

  EXPECT_EQ(writeAll(-1, "x"), EBADF);
}

TEST(Logger, WritesPrefixedLinesOnStandardError) {
  FdCapture capture(2);
  Logger::info("Microphone activity detector started");
  Logger::error(
      "Failed to load active input apps: Audio property unavailable for selector 1886548771");
  Logger::info("");
  Logger::error("bad \xFF byte / kept");
  EXPECT_EQ(capture.finish(),
            "[vandrelis-mic-detector] Microphone activity detector started\n"
            "[vandrelis-mic-detector] ERROR: Failed to load active input apps: Audio property "
            "unavailable for selector 1886548771\n"
            "[vandrelis-mic-detector] \n"
            "[vandrelis-mic-detector] ERROR: bad \xEF\xBF\xBD byte / kept\n");
}

TEST(Logger, LinesFromSeveralThreadsNeverMix) {
  testing::TempDir directory;
  std::string captured;
  {
    FdCapture capture(2);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([t] {
        const std::string message(200, static_cast<char>('a' + t));
        for (int i = 0; i < 200; ++i) Logger::info(message);
      });
    }
    for (auto& thread : threads) thread.join();
    captured = capture.finish();
  }
  std::size_t lines = 0;
  for (std::size_t start = 0; start < captured.size();) {
    const std::size_t end = captured.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = captured.substr(start, end - start);
    ASSERT_EQ(line.size(), 25u + 200u);
    EXPECT_EQ(line.substr(25), std::string(200, line[25]));
    start = end + 1;
    ++lines;
  }
  EXPECT_EQ(lines, 800u);
}

}  // namespace
}  // namespace micdetector
