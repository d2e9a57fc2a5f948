// Ended processes as the pidfds tell them: a live child, a zombie that kill still finds, a pid
// already reaped, and the descriptors let go with the processes.
#include "platform/linux/process_end_watch.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

namespace micdetector {
namespace {

std::size_t openDescriptors() {
  return static_cast<std::size_t>(std::distance(
      std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

pid_t forkPausing() {
  const pid_t child = ::fork();
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  return child;
}

TEST(ProcessEndWatch, TellsWhichProcessesEndedAndLetsGoOfThoseNoLongerWatched) {
  const pid_t live = forkPausing();
  const pid_t reaped = forkPausing();
  ASSERT_GT(live, 0);
  ASSERT_GT(reaped, 0);
  ::kill(reaped, SIGKILL);
  ::waitpid(reaped, nullptr, 0);
  const std::size_t before = openDescriptors();

  ProcessEndWatch watch;
  watch.watch({live, reaped, ::getpid()});
  watch.check();
  EXPECT_FALSE(watch.ended(live));
  EXPECT_TRUE(watch.ended(reaped));
  EXPECT_FALSE(watch.ended(::getpid()));
  EXPECT_FALSE(watch.ended(::getppid())) << "not watched";
  EXPECT_EQ(openDescriptors(), before + 2);

  // Killed and not reaped: kill(pid, 0) still finds the zombie, but it has ended.
  ::kill(live, SIGKILL);
  siginfo_t info{};
  ::waitid(P_PID, static_cast<id_t>(live), &info, WEXITED | WNOWAIT);
  EXPECT_EQ(::kill(live, 0), 0);
  EXPECT_FALSE(watch.ended(live)) << "known only from the next check";
  watch.check();
  EXPECT_TRUE(watch.ended(live));
  // Taken on afresh, the zombie is still found ended; and once reaped, too.
  watch.watch({live, ::getpid()});
  watch.check();
  EXPECT_TRUE(watch.ended(live));
  ::waitpid(live, nullptr, 0);
  watch.watch({live, ::getpid()});
  watch.check();
  EXPECT_TRUE(watch.ended(live));
  EXPECT_FALSE(watch.ended(::getpid()));

  watch.watch({::getpid()});
  watch.check();
  EXPECT_FALSE(watch.ended(live));
  EXPECT_FALSE(watch.ended(::getpid()));
  EXPECT_EQ(openDescriptors(), before + 1);
  watch.watch({});
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace micdetector
