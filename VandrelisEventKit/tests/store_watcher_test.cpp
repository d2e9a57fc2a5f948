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
#include <future>
#include <latch>
#include <thread>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "command_frame.h"
#include "helper_error.h"
#include "memory_store.h"
#include "run_loop.h"
#include "test_support.h"

extern char** environ;

namespace vandrelis {
namespace {

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

// A child process with its standard input and output on pipes, read line by line.
class Child {
 public:
  Child(const std::string& program, std::vector<std::string> arguments,
        const std::map<std::string, std::string>& environment = {}) {
    int in[2], out[2];
    if (testing::openPipe(in, O_CLOEXEC) != 0 || testing::openPipe(out, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      if (!environment.contains(entry.substr(0, entry.find('=')))) envStrings.push_back(entry);
    }
    for (const auto& [name, value] : environment) envStrings.push_back(name + "=" + value);
    std::vector<char*> envp, argv;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    arguments.insert(arguments.begin(), program);
    for (auto& s : arguments) argv.push_back(s.data());
    argv.push_back(nullptr);

    char errName[] = "/tmp/vek-watch-err-XXXXXX";
    errFile_ = ::mkostemp(errName, O_CLOEXEC);
    ::unlink(errName);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errFile_, 2);
    int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
    if (rc != 0) throw std::runtime_error("posix_spawn failed");
  }

  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait();
    }
    ::close(input_);
    ::close(output_);
    ::close(errFile_);
  }

  void send(std::string_view text) {
    ASSERT_EQ(::write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // The next line with its newline, or what came before end of file or the time limit.
  std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
      std::size_t newline = buffered_.find('\n');
      if (newline != std::string::npos) {
        std::string line = buffered_.substr(0, newline + 1);
        buffered_.erase(0, newline + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !fill(static_cast<int>(left.count()))) {
        return std::exchange(buffered_, std::string());
      }
    }
  }

  // Everything still to come on standard output, up to end of file.
  std::string readRest() {
    while (fill(20000)) {
    }
    return std::exchange(buffered_, std::string());
  }

  // True while the process has not ended.
  bool running() {
    int status;
    return ::waitpid(pid_, &status, WNOHANG) == 0;
  }

  int terminate() {
    ::kill(pid_, SIGTERM);
    return wait();
  }

  // Exit status, or 128 + signal number.
  int wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string errors() {
    std::string data;
    char buffer[4096];
    ssize_t n;
    ::lseek(errFile_, 0, SEEK_SET);
    while ((n = ::read(errFile_, buffer, sizeof buffer)) > 0) data.append(buffer, n);
    return data;
  }

  pid_t pid() const { return pid_; }

 private:
  // Reads what is available within the limit; false at end of file or time out.
  bool fill(int limitMs) {
    pollfd fd{output_, POLLIN, 0};
    if (::poll(&fd, 1, limitMs) <= 0) return false;
    char buffer[4096];
    ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n <= 0) return false;
    buffered_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int input_ = -1, output_ = -1, errFile_ = -1;
  std::string buffered_;
};

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
#endif

}  // namespace
}  // namespace vandrelis
