// The run loop parks its thread until stopped, from any thread, and a stop is not lost.
#include "run_loop.h"

#include <future>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vandrelis
