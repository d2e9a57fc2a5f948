// The Linux store's permission: the file system decides, and the access request only ever
// creates the missing root.
#include <sys/stat.h>
#include <sys/wait.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>

#include <gtest/gtest.h>

#include "store/vdir/vdir_store.h"
#include "test_support.h"

namespace vandrelis::testing {
namespace {

using namespace vandrelis::store;

std::optional<StoreError> request(VdirStore& store) {
  std::promise<std::optional<StoreError>> done;
  store.requestFullAccessToEvents(
      [&](bool, std::optional<StoreError> error) { done.set_value(std::move(error)); });
  return done.get_future().get();
}

TEST(VdirPermission, RootLifecycle) {
  TempDir home;
  VdirStore store(home.path() + "/a/b/vandrelis/calendars");
  EXPECT_EQ(store.authorizationStatus(), kStatusNotDetermined);
  EXPECT_EQ(request(store), std::nullopt);
  EXPECT_EQ(store.authorizationStatus(), kStatusFullAccess);
  struct stat info;
  ASSERT_EQ(::stat((home.path() + "/a").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  // An existing root is left as it is.
  ::chmod(store.root().c_str(), 0755);
  EXPECT_EQ(request(store), std::nullopt);
  ASSERT_EQ(::stat(store.root().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0755u);
  EXPECT_TRUE(std::filesystem::is_empty(store.root()));

  // A root that is a file is not a calendar store the process can read.
  VdirStore fileRoot(home.path() + "/a/b/vandrelis/calendars/../../../../file");
  { std::FILE* f = std::fopen((home.path() + "/file").c_str(), "w"); std::fclose(f); }
  EXPECT_EQ(fileRoot.authorizationStatus(), kStatusDenied);
}

TEST(VdirPermission, UnreadableRootIsDenied) {
  TempDir home;
  const std::string root = home.path() + "/calendars";
  ASSERT_TRUE(std::filesystem::create_directory(root));
  ::chmod(root.c_str(), 0300);  // writable and searchable, not readable
  ::chmod(home.path().c_str(), 0755);
  if (::geteuid() != 0) {
    EXPECT_EQ(VdirStore(root).authorizationStatus(), kStatusDenied);
    return;
  }
  // Root ignores permission bits: check as an unprivileged user in a child process.
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    ::_exit(VdirStore(root).authorizationStatus() == kStatusDenied ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3) {
    if (std::getenv("CI") != nullptr) FAIL() << "could not drop privileges";
    GTEST_SKIP() << "no unprivileged user to drop to";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(VdirPermission, DefaultRootFollowsXdgDataHome) {
  const char* savedXdg = std::getenv("XDG_DATA_HOME");
  const char* savedHome = std::getenv("HOME");
  std::string xdg = savedXdg ? savedXdg : "", homeValue = savedHome ? savedHome : "";
  ::setenv("XDG_DATA_HOME", "/x/data", 1);
  EXPECT_EQ(VdirStore::defaultRoot(), "/x/data/vandrelis/calendars");
  ::setenv("XDG_DATA_HOME", "", 1);
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(VdirStore::defaultRoot(), "/home/u/.local/share/vandrelis/calendars");
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(VdirStore::defaultRoot(), "/home/u/.local/share/vandrelis/calendars");
  // Never a relative root: a relative XDG_DATA_HOME is ignored, and without HOME the home
  // comes from the user database.
  ::setenv("XDG_DATA_HOME", "rel/data", 1);
  ::unsetenv("HOME");
  struct passwd* user = ::getpwuid(::getuid());
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(VdirStore::defaultRoot(),
            std::filesystem::path(user->pw_dir) / ".local/share/vandrelis/calendars");
  savedXdg ? ::setenv("XDG_DATA_HOME", xdg.c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
  savedHome ? ::setenv("HOME", homeValue.c_str(), 1) : ::unsetenv("HOME");
}

}  // namespace
}  // namespace vandrelis::testing
