// watch in this process (through the frame, on a thread of its own) and as a process whose
// notifications are driven through a pipe: one whole line per notification of its own store.
#include "store_watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <latch>
#include <thread>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "child_process.h"
#include "command_frame.h"
#include "helper_error.h"
#include "memory_store.h"
#include "run_loop.h"
#include "test_support.h"

namespace vandrelis {
namespace {

using testing::Child;
using testing::MemoryStore;
using testing::OutputCapture;
using testing::RunResult;

constexpr const char* kChangeLine = "{\"type\":\"changed\"}\n";
constexpr const char* kDeniedLine = "vandrelis-eventkit: Calendar permission is not granted\n";

std::string repeat(std::string_view unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out.append(unit);
  return out;
}

void postFromThreads(const MemoryStore& store, int threads, int count) {
  std::latch start(threads);
  std::vector<std::thread> posters;
  for (int t = 0; t < threads; ++t) {
    posters.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < count; ++i) store.postChanged();
    });
  }
  for (std::thread& poster : posters) poster.join();
}

void waitUntilObserving(const MemoryStore& store) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!store.observing && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(store.observing);
}

TEST(StoreWatcher, InProcessOneWholeLinePerNotificationOfItsOwnStore) {
  auto store = std::make_shared<MemoryStore>();
  MemoryStore other;
  OutputCapture capture;
  std::promise<RunLoop*> loop;
  std::future<int> status = std::async(std::launch::async, [&] {
    loop.set_value(&RunLoop::current());
    return runHelper({"watch", "extra", "--calendar"}, [&] { return store; });
  });
  RunLoop* watcherLoop = loop.get_future().get();
  waitUntilObserving(*store);

  store->postChanged();
  store->postChanged();
  other.postChanged();
  other.postChanged();
  postFromThreads(*store, 6, 100);

  // A line that cannot be written is dropped and the watcher goes on.
  int savedOut = ::dup(1);
  int readOnly = ::open("/dev/null", O_RDONLY);
  ::dup2(readOnly, 1);
  EXPECT_NO_THROW(store->postChanged());
  ::dup2(savedOut, 1);
  ::close(savedOut);
  ::close(readOnly);
  store->postChanged();

  watcherLoop->stop();
  int exitStatus = status.get();
  RunResult result = capture.finish();
  EXPECT_EQ(exitStatus, 1);
  EXPECT_EQ(result.err, "vandrelis-eventkit: EventKit watcher run loop ended\n");
  EXPECT_EQ(result.out, repeat(kChangeLine, 2 + 600 + 1));

  // The watcher is gone and so is its registration.
  OutputCapture after;
  store->postChanged();
  EXPECT_EQ(after.finish().out, "");
}

TEST(StoreWatcher, GateFailsBeforeAnythingIsRegistered) {
  for (std::int64_t status : {store::kStatusDenied, store::kStatusNotDetermined,
                              store::kStatusWriteOnly, std::int64_t{-3}}) {
    MemoryStore store;
    store.status = status;
    StoreWatcher watcher(store);
    OutputCapture capture;
    EXPECT_THROW(watcher.run(), HelperError);
    EXPECT_FALSE(watcher.observer().has_value());
    EXPECT_FALSE(store.observing);
    store.postChanged();
    RunResult result = capture.finish();
    EXPECT_EQ(result.out, "") << status;
  }
}

TEST(StoreWatcher, ProcessWritesWholeLinesForBurstsFromSeveralThreads) {
  Child child(WATCH_DRIVER, {"3", "watch", "extra"});
  child.send("post\npost\n");  // two in quick succession
  EXPECT_EQ(child.readLine(), kChangeLine);
  EXPECT_EQ(child.readLine(), kChangeLine);

  child.send("other\nother\nother\npost\n");
  EXPECT_EQ(child.readLine(), kChangeLine);

  child.send("burst 8 50\n");
  for (int i = 0; i < 400; ++i) {
    std::string line = child.readLine();
    ASSERT_EQ(line, kChangeLine) << "line " << i;
  }
  EXPECT_TRUE(child.running());
  EXPECT_EQ(child.terminate(), 128 + SIGTERM);
  // Nothing at start, nothing for the other store: no line beyond one per own notification.
  EXPECT_EQ(child.readRest(), "");
  EXPECT_EQ(child.errors(), "");
}

TEST(StoreWatcher, ProcessEndsAsAFailureShouldTheRunLoopEnd) {
  Child child(WATCH_DRIVER, {"3", "watch"});
  child.send("post\nend\n");
  EXPECT_EQ(child.readLine(), kChangeLine);
  EXPECT_EQ(child.wait(), 1);
  EXPECT_EQ(child.readRest(), "");
  EXPECT_EQ(child.errors(), "vandrelis-eventkit: EventKit watcher run loop ended\n");
}

TEST(StoreWatcher, ProcessWithoutPermissionWritesOnlyTheReportLine) {
  for (const char* status : {"2", "0", "4", "9"}) {
    RunResult result = testing::runProcess(WATCH_DRIVER, {WATCH_DRIVER, status, "watch", "x"});
    EXPECT_EQ(result.exitStatus, 1) << status;
    EXPECT_EQ(result.out, "") << status;
    EXPECT_EQ(result.err, kDeniedLine) << status;
  }
}

#if defined(EVENTKIT_BINARY) && defined(__linux__)
TEST(StoreWatcher, ShippedProgramWaitsSilentlyUntilStopped) {
  testing::TempDir home;
  std::map<std::string, std::string> environment{{"XDG_DATA_HOME", home.path()}};
  RunResult denied = testing::runProcess(EVENTKIT_BINARY, {EVENTKIT_BINARY, "watch"}, environment);
  EXPECT_EQ(denied.exitStatus, 1);
  EXPECT_EQ(denied.out, "");
  EXPECT_EQ(denied.err, kDeniedLine);

  std::filesystem::create_directories(home.path() + "/vandrelis/calendars");
  Child child(EVENTKIT_BINARY, {"watch", "extra"}, environment);
  EXPECT_EQ(child.readLine(std::chrono::milliseconds(300)), "");  // no output at start
  EXPECT_TRUE(child.running());
  EXPECT_EQ(child.terminate(), 128 + SIGTERM);
  EXPECT_EQ(child.errors(), "");
}

TEST(StoreWatcher, ShippedProgramEndsOnceItsPipeReaderIsGone) {
  testing::TempDir home;
  std::filesystem::path calendar = std::filesystem::path(home.path()) / "vandrelis/calendars/me/c";
  std::filesystem::create_directories(calendar);
  std::map<std::string, std::string> environment{{"XDG_DATA_HOME", home.path()}};
  char outName[] = "/tmp/vek-watch-out-XXXXXX";
  int outFile = ::mkostemp(outName, O_CLOEXEC);
  ASSERT_GE(outFile, 0);
  ::unlink(outName);
  Child toPipe(EVENTKIT_BINARY, {"watch"}, environment);
  Child toFile(EVENTKIT_BINARY, {"watch"}, environment, outFile);
  // Notices on the pipe and in the file show both are watching.
  bool pipeNotice = false;
  for (int i = 0; i < 100 && !(pipeNotice && ::lseek(outFile, 0, SEEK_END) > 0); ++i) {
    std::ofstream(calendar / "a.ics") << i;
    pipeNotice |= !toPipe.readLine(std::chrono::milliseconds(200)).empty();
  }
  ASSERT_TRUE(pipeNotice);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // no notice left pending

  toPipe.closeOutput();
  // Nothing changes meanwhile: the end comes from the reader's going, not from a write.
  EXPECT_EQ(toPipe.waitFor(std::chrono::seconds(3)), 128 + SIGPIPE);
  EXPECT_EQ(toPipe.errors(), "");
  EXPECT_TRUE(toFile.running());
  EXPECT_GT(::lseek(outFile, 0, SEEK_END), 0);
  EXPECT_EQ(toFile.terminate(), 128 + SIGTERM);
  ::close(outFile);
}
#endif

}  // namespace
}  // namespace vandrelis
