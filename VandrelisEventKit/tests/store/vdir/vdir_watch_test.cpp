// Change notices of the vdir store: one per burst, another for a later change, new calendars
// and a recreated root watched, hidden files ignored; and the shipped program's watch kept
// from going deaf (re-created link targets, an overflowed queue, the watch limit).
#include "store/vdir/vdir_watch.h"

#include <signal.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>

#include <gtest/gtest.h>

#include "child_process.h"
#include "store/notification_center.h"
#include "store/vdir/vdir_store.h"
#include "test_support.h"
#include "vdir_fixtures.h"

namespace vandrelis::store {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;
using testing::writeFile;

// Counts the notices one store posts.
class NoticeCounter {
 public:
  explicit NoticeCounter(const CalendarStore& store) {
    token_ =
        NotificationCenter::defaultCenter().addObserver(kStoreChangedNotification, &store, [this] {
          std::lock_guard lock(mutex_);
          ++count_;
          changed_.notify_all();
        });
  }
  ~NoticeCounter() { NotificationCenter::defaultCenter().removeObserver(token_); }

  // Waits until at least n notices have come (or the time is up) and returns the count.
  int waitFor(int n, std::chrono::milliseconds limit = 3s) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return count_ >= n; });
    return count_;
  }
  // The count after a quiet spell long enough for any pending notice to arrive.
  int settle() {
    std::this_thread::sleep_for(300ms);
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
  NotificationCenter::Token token_ = 0;
};

TEST(VdirWatch, OneNoticePerBurstAndAnotherForALaterChange) {
  TempDir dir;
  std::filesystem::path root = std::filesystem::path(dir.path()) / "calendars";
  std::filesystem::path calendar = root / "me" / "home";
  std::filesystem::create_directories(calendar);
  VdirStore store(root);
  NoticeCounter notices(store);
  store.beginObservingChanges();
  store.beginObservingChanges();  // a second call adds no second watcher
  EXPECT_EQ(notices.settle(), 0);

  for (int i = 0; i < 20; ++i) {
    writeFile(calendar / std::string("e").append(std::to_string(i)).append(".ics"), "BEGIN:VCALENDAR\nEND:VCALENDAR\n");
  }
  EXPECT_EQ(notices.waitFor(1), 1);
  EXPECT_EQ(notices.settle(), 1);

  std::filesystem::rename(calendar / "e1.ics", calendar / "renamed.ics");
  EXPECT_EQ(notices.waitFor(2), 2);
  std::filesystem::remove(calendar / "e2.ics");
  EXPECT_EQ(notices.waitFor(3), 3);
  writeFile(calendar / "color", "#FF0000");
  EXPECT_EQ(notices.waitFor(4), 4);
  writeFile(root / "default-calendar", "me/home");
  EXPECT_EQ(notices.waitFor(5), 5);
  writeFile(root / "me" / "displayname", "Me");
  EXPECT_EQ(notices.waitFor(6), 6);

  // Hidden entries and files that are not items or metadata are not the store's data.
  writeFile(calendar / ".e3.ics.tmp", "x");
  writeFile(calendar / "e3.ics.tmp", "x");
  writeFile(root / ".hidden" / "cal" / "x.ics", "x");
  EXPECT_EQ(notices.settle(), 6);
}

TEST(VdirWatch, NewSourcesAndCalendarsAreWatched) {
  TempDir dir;
  std::filesystem::path root = std::filesystem::path(dir.path()) / "calendars";
  std::filesystem::create_directories(root);
  VdirStore store(root);
  NoticeCounter notices(store);
  store.beginObservingChanges();

  std::filesystem::create_directories(root / "new" / "cal");
  EXPECT_EQ(notices.waitFor(1), 1);
  EXPECT_EQ(notices.settle(), 1);
  writeFile(root / "new" / "cal" / "a.ics", "x");
  EXPECT_EQ(notices.waitFor(2), 2);
  EXPECT_EQ(notices.settle(), 2);

  // A source linked in from elsewhere, and then an item written there.
  std::filesystem::path elsewhere = std::filesystem::path(dir.path()) / "synced";
  std::filesystem::create_directories(elsewhere / "cal");
  std::filesystem::create_directory_symlink(elsewhere, root / "linked");
  EXPECT_EQ(notices.waitFor(3), 3);
  EXPECT_EQ(notices.settle(), 3);
  writeFile(elsewhere / "cal" / "b.ics", "x");
  EXPECT_EQ(notices.waitFor(4), 4);
}

TEST(VdirWatch, RootRemovedAndRecreated) {
  TempDir dir;
  std::filesystem::path root = std::filesystem::path(dir.path()) / "data" / "calendars";
  VdirStore store(root);  // the root does not exist yet
  NoticeCounter notices(store);
  store.beginObservingChanges();

  std::filesystem::create_directories(root / "me" / "cal");
  EXPECT_EQ(notices.waitFor(1), 1);
  EXPECT_EQ(notices.settle(), 1);
  writeFile(root / "me" / "cal" / "a.ics", "x");
  EXPECT_EQ(notices.waitFor(2), 2);
  EXPECT_EQ(notices.settle(), 2);

  std::filesystem::remove_all(root);
  EXPECT_EQ(notices.waitFor(3), 3);
  EXPECT_EQ(notices.settle(), 3);
  std::filesystem::create_directories(root / "me" / "cal");
  EXPECT_EQ(notices.waitFor(4), 4);
  EXPECT_EQ(notices.settle(), 4);
  writeFile(root / "me" / "cal" / "b.ics", "x");
  EXPECT_EQ(notices.waitFor(5), 5);
}

TEST(VdirWatch, ASteadyTrickleStillGivesNotices) {
  TempDir dir;
  std::filesystem::path root = std::filesystem::path(dir.path()) / "calendars";
  std::filesystem::create_directories(root / "me" / "cal");
  std::mutex mutex;
  int count = 0;
  {
    VdirWatch watch(
        root,
        [&] {
          std::lock_guard lock(mutex);
          ++count;
        },
        VdirWatch::Timing{.quiet = 100ms, .longest = 300ms});
    // A write every 50 ms never leaves 100 ms of quiet.
    for (int i = 0; i < 16; ++i) {
      writeFile(root / "me" / "cal" / "a.ics", std::to_string(i));
      std::this_thread::sleep_for(50ms);
    }
    std::lock_guard lock(mutex);
    EXPECT_GE(count, 1);
  }
  std::lock_guard lock(mutex);
  EXPECT_LE(count, 4);
}

constexpr const char* kChangeLine = "{\"type\":\"changed\"}\n";

// The shipped program's watch on the store under a temporary XDG_DATA_HOME, optionally started
// through a wrapper command (which ends by running the program with the arguments after it).
class WatchProgram {
 public:
  explicit WatchProgram(const std::string& parent = "/tmp") : home_(parent) {
    std::filesystem::create_directories(root());
  }

  // Starts the program, optionally through a wrapper command (which ends by running the
  // program with the arguments after it), and returns once its watch is set up: a change of
  // the root's metadata gives a notice.
  void start(std::vector<std::string> wrapper = {}) {
    wrapper.insert(wrapper.end(), {EVENTKIT_BINARY, "watch"});
    std::string program = wrapper.front();
    wrapper.erase(wrapper.begin());
    child_.emplace(program, wrapper,
                   std::map<std::string, std::string>{{"XDG_DATA_HOME", home_.path()}});
    for (int i = 0; i < 100; ++i) {
      writeFile(root() / "default-calendar", std::to_string(i));
      if (!child_->readLine(200ms).empty()) break;
    }
    while (!child_->readLine(400ms).empty()) {
    }
  }

  std::filesystem::path home() const { return home_.path(); }
  std::filesystem::path root() const { return home() / "vandrelis" / "calendars"; }
  testing::Child& child() { return *child_; }

  // Makes the change, then counts the notices: the first within `limit`, then any more until
  // 400 ms pass without one.
  int noticesAfter(const std::function<void()>& change, std::chrono::milliseconds limit = 5s) {
    change();
    if (child_->readLine(limit) != kChangeLine) return 0;
    int count = 1;
    while (child_->readLine(400ms) == kChangeLine) ++count;
    return count;
  }

 private:
  TempDir home_;
  std::optional<testing::Child> child_;
};

TEST(VdirWatchProgram, LinkedSourceOrRootWhoseTargetIsRemovedAndCreatedAgain) {
  struct Case {
    const char* name;
    std::filesystem::path link;      // under the temporary home
    std::filesystem::path target;    // under the temporary home
    std::filesystem::path calendar;  // under the target
  };
  for (const Case& c : {Case{"source", "vandrelis/calendars/work", ".calendars/work", "cal"},
                        Case{"root", "vandrelis/calendars", "synced/calendars", "me/cal"}}) {
    SCOPED_TRACE(c.name);
    WatchProgram watch;
    std::filesystem::path link = watch.home() / c.link;
    std::filesystem::path target = watch.home() / c.target;
    std::filesystem::create_directories(target / c.calendar);
    std::filesystem::remove_all(link);
    std::filesystem::create_directory_symlink(target, link);
    watch.start();

    EXPECT_EQ(watch.noticesAfter([&] { std::filesystem::remove_all(target); }), 1);
    EXPECT_EQ(watch.noticesAfter([&] { std::filesystem::create_directories(target / c.calendar); }),
              1);
    EXPECT_EQ(watch.noticesAfter([&] { writeFile(target / c.calendar / "a.ics", "x"); }), 1);
    EXPECT_EQ(watch.child().errors(), "");
  }
}

TEST(VdirWatchProgram, FilesNeitherItemsNorMetadataGiveNoNotice) {
  WatchProgram watch;
  std::filesystem::path root = watch.root();
  std::filesystem::create_directories(root / "me" / "cal");
  watch.start();
  auto writeOthers = [&] {
    writeFile(root / "README", "x");
    writeFile(root / "me" / "notes.txt", "x");
    writeFile(root / "me" / "cal" / "notes.txt", "x");
  };
  auto removeOthers = [&] {
    std::filesystem::remove(root / "README");
    std::filesystem::rename(root / "me" / "notes.txt", root / "me" / "todo");
  };
  EXPECT_EQ(watch.noticesAfter(writeOthers, 400ms), 0);
  EXPECT_EQ(watch.noticesAfter(removeOthers, 400ms), 0);
  EXPECT_EQ(watch.noticesAfter([&] { writeFile(root / "me" / "displayname", "Me"); }), 1);
}

// More events than the kernel queues, with more watches than it queues events (so that a
// rebuild that dropped and re-added every watch would overflow the queue again by itself).
TEST(VdirWatchProgram, QueueOverflowGivesOneNoticeAndWatchingGoesOn) {
  int queued = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
  // In memory where possible: removing 17,000 folders from a busy disk can take minutes.
  WatchProgram watch(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp");
  std::filesystem::path root = watch.root();
  for (int s = 0; s <= queued / 100; ++s) {
    for (int c = 0; c < 100; ++c) {
      std::filesystem::create_directories(root / std::string("s").append(std::to_string(s)) /
                                          std::string("c").append(std::to_string(c)));
    }
  }
  watch.start();

  pid_t pid = watch.child().pid();
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  std::string state;
  for (int i = 0; i < 1000 && state != "T"; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    stat >> field >> field >> state;  // pid, (name), state
  }
  ASSERT_EQ(state, "T");
  // A create, a modify and a close-write per file, all distinct, so none are merged.
  for (int i = 0; i <= queued / 3; ++i) {
    writeFile(root / "s0" / "c0" / std::string("e").append(std::to_string(i)).append(".ics"), "x");
  }
  EXPECT_EQ(watch.noticesAfter([&] { ::kill(pid, SIGCONT); }), 1);
  EXPECT_EQ(watch.noticesAfter([&] { std::filesystem::create_directory(root / "s1" / "new"); }), 1);
  EXPECT_EQ(watch.noticesAfter([&] { writeFile(root / "s1" / "new" / "a.ics", "x"); }), 1);
  EXPECT_EQ(watch.child().errors(), "");
}

// The inotify watch limit is lowered in a private user namespace, which leaves the host alone.
TEST(VdirWatchProgram, FoldersBeyondTheWatchLimitAreScanned) {
  const std::string unshare = "/usr/bin/unshare";
  const std::string lowerLimit = "echo 4 >/proc/sys/user/max_inotify_watches";
  testing::RunResult probe =
      testing::runProcess(unshare, {unshare, "--user", "--map-root-user", "sh", "-c", lowerLimit});
  if (probe.exitStatus != 0) {
    if (std::getenv("CI") != nullptr) FAIL() << "no private user namespace: " << probe.err;
    GTEST_SKIP() << "no private user namespace: " << probe.err;
  }
  WatchProgram watch;
  std::filesystem::path source = watch.root() / "me";
  // The root's parent, the root, "me" and "a" take the four watches; the rest are scanned.
  for (const char* calendar : {"a", "b", "c"})
    std::filesystem::create_directories(source / calendar);
  watch.start(
      {unshare, "--user", "--map-root-user", "sh", "-c", lowerLimit + " && exec \"$@\"", "sh"});

  EXPECT_EQ(watch.noticesAfter([&] { writeFile(source / "c" / "x.ics", "x"); }, 3s), 1);
  EXPECT_EQ(watch.noticesAfter([&] { writeFile(source / "c" / "x.ics", "y"); }, 3s), 1);
  EXPECT_EQ(watch.noticesAfter([&] { std::filesystem::create_directory(source / "d"); }, 3s), 1);
  EXPECT_EQ(watch.noticesAfter([&] { writeFile(source / "d" / "x.ics", "x"); }, 3s), 1);
  EXPECT_EQ(watch.child().errors(), "");
}

}  // namespace
}  // namespace vandrelis::store
