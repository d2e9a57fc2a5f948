// The run loop parks its thread until stopped, from any thread, and a stop is not lost; run
// while an output is read, it also ends when a pipe's or socket's reader goes, and only then.
#include "run_loop.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "test_support.h"

namespace vandrelis {
namespace {

TEST(RunLoop, StopEndsTheRunWhetherMadeBeforeOrDuringIt) {
  RunLoop& loop = RunLoop::current();
  loop.stop();
  loop.run();  // returns at once: the stop came first

  std::promise<RunLoop*> other;
  std::future<void> done = std::async(std::launch::async, [&] {
    other.set_value(&RunLoop::current());
    RunLoop::current().run();
  });
  RunLoop* otherLoop = other.get_future().get();
  EXPECT_NE(otherLoop, &loop);
  EXPECT_EQ(done.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  otherLoop->stop();
  done.get();
}

// {reading end, writing end} of a pipe or of a connected socket pair.
bool connectedPair(bool socket, int ends[2]) {
  if (!socket) return testing::openPipe(ends, O_CLOEXEC) == 0;
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return false;
  for (int i = 0; i < 2; ++i) ::fcntl(ends[i], F_SETFD, FD_CLOEXEC);
  return true;
}

// runWhileRead(output), stopped after two seconds: a run that misses its end fails, not hangs.
bool runAtMostTwoSeconds(RunLoop& loop, int output) {
  std::promise<void> returned;
  auto watchdog = std::async(std::launch::async, [&loop, done = returned.get_future()] {
    if (done.wait_for(std::chrono::seconds(2)) == std::future_status::timeout) loop.stop();
  });
  const bool stopped = loop.runWhileRead(output);
  returned.set_value();
  return stopped;
}

TEST(RunLoop, RunWhileReadEndsWhenAPipeOrSocketReaderGoesAndOtherwiseOnlyWhenStopped) {
  using namespace std::chrono_literals;
  RunLoop& loop = RunLoop::current();
  for (const bool socket : {false, true}) {
    SCOPED_TRACE(socket ? "socket" : "pipe");
    int ends[2];
    ASSERT_TRUE(connectedPair(socket, ends));
    // The reader takes a line meanwhile, which must not end the run, and then goes.
    auto reader = std::async(std::launch::async, [&] {
      std::this_thread::sleep_for(30ms);
      EXPECT_EQ(::write(ends[1], "x\n", 2), 2);
      char line[2];
      EXPECT_EQ(::read(ends[0], line, sizeof line), 2);
      std::this_thread::sleep_for(30ms);
      ::close(ends[0]);
    });
    EXPECT_FALSE(runAtMostTwoSeconds(loop, ends[1]));
    reader.get();
    // A reader gone before the run ends it at once.
    EXPECT_FALSE(runAtMostTwoSeconds(loop, ends[1]));
    ::close(ends[1]);

    // With its reader there, only a stop ends the run.
    ASSERT_TRUE(connectedPair(socket, ends));
    auto stopper = std::async(std::launch::async, [&] {
      std::this_thread::sleep_for(50ms);
      loop.stop();
    });
    EXPECT_TRUE(loop.runWhileRead(ends[1]));
    stopper.get();
    ::close(ends[0]);
    ::close(ends[1]);
  }

  // A regular file has no reader to lose, and -1 names no output: only a stop ends those runs
  // (here one made before them).
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  for (const int output : {::fileno(file), -1}) {
    loop.stop();
    EXPECT_TRUE(loop.runWhileRead(output));
  }
  std::fclose(file);
}

}  // namespace
}  // namespace vandrelis
