// Change notices of the vdir store: one per burst, another for a later change, new calendars
// and a recreated root watched, hidden files ignored.
#include "store/vdir_watch.h"

#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include "store/notification_center.h"
#include "store/vdir_store.h"
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
    token_ = NotificationCenter::defaultCenter().addObserver(kStoreChangedNotification, &store,
                                                             [this] {
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
    writeFile(calendar / ("e" + std::to_string(i) + ".ics"), "BEGIN:VCALENDAR\nEND:VCALENDAR\n");
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
    VdirWatch watch(root, [&] {
      std::lock_guard lock(mutex);
      ++count;
    }, VdirWatch::Timing{.quiet = 100ms, .longest = 300ms});
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

}  // namespace
}  // namespace vandrelis::store
