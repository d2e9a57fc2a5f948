// The real program with standard descriptors that a careless parent left closed or never reads:
// SIGTERM must still end it promptly with status 0.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "test_files.h"

// Runs the real program, which a build of the cores alone does not have.
#ifdef MIC_DETECTOR_FASTPOLL
namespace micdetector {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

enum class Stdio { closed, fullPipe };

// The exit status (or 128 + signal) of `pid`, or -1 when it has not ended within `patience`.
int waitForExit(pid_t pid, std::chrono::milliseconds patience) {
  const auto deadline = Clock::now() + patience;
  for (;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (Clock::now() > deadline) return -1;
    std::this_thread::sleep_for(10ms);
  }
}

// A pipe whose reading end stays open but is never read, filled up to the last byte:
// {reading end, writing end}.
std::pair<int, int> fullPipe() {
  int ends[2];
  if (testing::openPipe(ends, O_CLOEXEC | O_NONBLOCK) != 0) return {-1, -1};
  const std::string chunk(4096, 'x');
  while (::write(ends[1], chunk.data(), chunk.size()) > 0) {
  }
  while (::write(ends[1], "x", 1) > 0) {
  }
  // The child gets a blocking descriptor, as a shell's pipe is.
  ::fcntl(ends[1], F_SETFL, 0);
  return {ends[0], ends[1]};
}

TEST(DetectorStdio, SigtermEndsItWithStdoutAndStderrClosedOrStderrAFullPipe) {
  // No sound server anywhere: every poll fails and logs a line, the most a poll can write.
  testing::TempDir runtime;
  const auto environment = testing::environmentWith(
      {"XDG_RUNTIME_DIR=" + runtime.path(), "HOME=" + runtime.path(), "PULSE_SERVER",
       "PULSE_RUNTIME_PATH", "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime.path() + "/no-bus"});
  std::vector<char*> envp;
  auto copies = environment;
  for (auto& entry : copies) envp.push_back(entry.data());
  envp.push_back(nullptr);

  for (const Stdio stdio : {Stdio::closed, Stdio::fullPipe}) {
    SCOPED_TRACE(stdio == Stdio::closed ? ">&- 2>&-" : "stderr a full pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int readEnd = -1, writeEnd = -1;
    if (stdio == Stdio::closed) {
      posix_spawn_file_actions_addclose(&actions, 1);
      posix_spawn_file_actions_addclose(&actions, 2);
    } else {
      std::tie(readEnd, writeEnd) = fullPipe();
      ASSERT_GE(readEnd, 0);
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_adddup2(&actions, writeEnd, 2);
    }
    // At 2 ms a poll, a couple of seconds log more than a pipe holds.
    char program[] = MIC_DETECTOR_FASTPOLL;
    char* argv[] = {program, nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, program, &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(waitForExit(pid, 0ms), -1) << "it ended before it was asked to";
#ifdef __linux__
    if (stdio == Stdio::closed) {
      // Not a pipe or socket the process opened for itself (macOS has no /proc to ask).
      for (const char* fd : {"1", "2"}) {
        const auto link =
            std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + fd);
        EXPECT_EQ(link, "/dev/null") << "descriptor " << fd;
      }
    }
#endif
    const auto asked = Clock::now();
    ::kill(pid, SIGTERM);
    const int status = waitForExit(pid, 3s);
    if (status == -1) ::kill(pid, SIGKILL), waitForExit(pid, 3s);
    EXPECT_EQ(status, 0);
    EXPECT_LT(Clock::now() - asked, 3s);
    if (readEnd >= 0) {
      // What did reach the pipe (nothing, as it was full) holds no cut line.
      ::close(writeEnd);
      std::string rest;
      char buffer[4096];
      for (ssize_t got; (got = ::read(readEnd, buffer, sizeof buffer)) > 0;) {
        rest.append(buffer, static_cast<std::size_t>(got));
      }
      ::close(readEnd);
      EXPECT_EQ(rest.find_first_not_of('x'), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace micdetector
#endif  // MIC_DETECTOR_FASTPOLL
