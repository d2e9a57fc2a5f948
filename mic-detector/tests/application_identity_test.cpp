// Identity resolution: the three sources in order, the bundle walk, and real processes started
// from inside bundles built in a temporary directory.
#include "application_identity.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "fake_tables.h"
#include "plist_files.h"
#include "simulated_audio_layer.h"
#include "test_files.h"

namespace micdetector {
namespace {

using testing::PlistValue;

TEST(FindBundleURL, FindsTheInnermostCaseSensitiveAppDirectoryAboveTheExecutable) {
  EXPECT_EQ(
      findBundleURL("/Applications/Outer.app/Contents/Frameworks/Inner.app/Contents/MacOS/Inner"),
      "/Applications/Outer.app/Contents/Frameworks/Inner.app");
  EXPECT_EQ(findBundleURL("/Applications/Outer.app/Contents/MacOS/Outer"),
            "/Applications/Outer.app");
  EXPECT_EQ(findBundleURL("/Tool.app/tool"), "/Tool.app");
  EXPECT_EQ(findBundleURL("/a/Tool.app//bin/"), "/a/Tool.app");
  EXPECT_EQ(findBundleURL("/x/a.b.app/c"), "/x/a.b.app");
  // The executable's own name is never tested.
  EXPECT_EQ(findBundleURL("/opt/Thing.app"), std::nullopt);
  EXPECT_EQ(findBundleURL("/usr/local/bin/tool"), std::nullopt);
  EXPECT_EQ(findBundleURL("/tool"), std::nullopt);
  EXPECT_EQ(findBundleURL("/"), std::nullopt);
  EXPECT_EQ(findBundleURL(""), std::nullopt);
  EXPECT_EQ(findBundleURL("relative/Thing.app/bin/tool"), std::nullopt);
  EXPECT_EQ(findBundleURL("/x/Tool.APP/tool"), std::nullopt);
  EXPECT_EQ(findBundleURL("/x/Tool.app.bak/tool"), std::nullopt);
  EXPECT_EQ(findBundleURL("/x/.app/tool"), std::nullopt);
  EXPECT_EQ(findBundleURL("/x/Tool.APP/Sub.app/Contents/MacOS/tool"), "/x/Tool.APP/Sub.app");
}

class Identity : public ::testing::Test {
 protected:
  std::optional<ApplicationIdentity> resolve(std::int32_t pid, AudioObjectID object) {
    return resolveApplicationIdentity(platform, pid, object);
  }

  testing::TempDir directory;
  testing::SimulatedAudioLayer audio;
  testing::FakeRunningApplications applications;
  testing::FakeProcessPaths paths;
  DetectorPlatform platform{audio, applications, paths, currentTimeMs};
};

TEST_F(Identity, TheFirstSourceWithANonEmptyBundleIdentifierDecides) {
  const std::string inner = directory.path() + "/Outer.app/Contents/Frameworks/Inner.app";
  testing::writeBundle(directory.path() + "/Outer.app",
                       {{"CFBundleIdentifier", PlistValue("com.example.outer")}}, false);
  testing::writeBundle(inner,
                       {{"CFBundleIdentifier", PlistValue("com.example.inner")},
                        {"CFBundleDisplayName", PlistValue("Inner Display")},
                        {"CFBundleName", PlistValue("Inner")}},
                       true);
  const std::string executable = inner + "/Contents/MacOS/Inner";

  // A running application wins, even from inside another bundle; its name comes as it is.
  paths.paths[10] = executable;
  applications.applications[10] = {"com.example.running", std::nullopt};
  EXPECT_EQ(resolve(10, 1), (ApplicationIdentity{"com.example.running", std::nullopt}));
  EXPECT_EQ(paths.queries, 0);
  applications.applications[10] = {"com.example.running", ""};
  EXPECT_EQ(resolve(10, 1), (ApplicationIdentity{"com.example.running", ""}));

  // An empty or absent identifier moves on to the innermost enclosing bundle.
  audio.setText(1, kAudioProcessPropertyBundleID, "com.example.from-audio");
  applications.applications[10] = {"", "Named"};
  EXPECT_EQ(resolve(10, 1), (ApplicationIdentity{"com.example.inner", "Inner Display"}));
  applications.applications[10] = {std::nullopt, "Named"};
  EXPECT_EQ(resolve(10, 1), (ApplicationIdentity{"com.example.inner", "Inner Display"}));
  EXPECT_TRUE(audio.readsOf(kAudioProcessPropertyBundleID).empty());

  // No path, or no enclosing bundle: the audio layer's identifier, without a name.
  EXPECT_EQ(resolve(11, 1), (ApplicationIdentity{"com.example.from-audio", std::nullopt}));
  paths.paths[12] = "/usr/local/bin/tool";
  EXPECT_EQ(resolve(12, 1), (ApplicationIdentity{"com.example.from-audio", std::nullopt}));
  paths.paths[13] = directory.path() + "/Gone.app/Contents/MacOS/gone";
  EXPECT_EQ(resolve(13, 1), (ApplicationIdentity{"com.example.from-audio", std::nullopt}));
  // A path that does not fit the 1024-byte buffer with its zero byte gives no path.
  paths.paths[14] = inner + "/" + std::string(1023 - inner.size() - 1, 'x');
  EXPECT_EQ(paths.paths[14].size(), 1023u);
  EXPECT_EQ(resolve(14, 1), (ApplicationIdentity{"com.example.inner", "Inner Display"}));
  paths.paths[14].push_back('x');
  EXPECT_EQ(resolve(14, 1), (ApplicationIdentity{"com.example.from-audio", std::nullopt}));

  // Nothing from any source: no identity, and no failure.
  audio.setText(1, kAudioProcessPropertyBundleID, "");
  EXPECT_EQ(resolve(11, 1), std::nullopt);
  audio.setNullText(1, kAudioProcessPropertyBundleID);
  EXPECT_EQ(resolve(11, 1), std::nullopt);
  audio.remove(1, kAudioProcessPropertyBundleID);
  EXPECT_EQ(resolve(11, 1), std::nullopt);
  audio.setText(1, kAudioProcessPropertyBundleID, "x");
  audio.failDataRead(1, kAudioProcessPropertyBundleID, kAudioObjectPropertyScopeGlobal, -1);
  EXPECT_EQ(resolve(11, 1), std::nullopt);
}

TEST_F(Identity, BundleNamesPreferTheDisplayNameAndIgnoreValuesThatAreNotText) {
  const std::string root = directory.path();
  struct Case {
    std::map<std::string, PlistValue> info;
    std::optional<std::string> name;
  };
  const std::uint64_t number = 5;
  const std::vector<Case> cases{
      {{{"CFBundleDisplayName", PlistValue("Display")}, {"CFBundleName", PlistValue("Name")}},
       "Display"},
      {{{"CFBundleName", PlistValue("Name")}}, "Name"},
      {{}, std::nullopt},
      {{{"CFBundleDisplayName", PlistValue(number)}, {"CFBundleName", PlistValue("Name")}}, "Name"},
      {{{"CFBundleDisplayName", PlistValue(number)}, {"CFBundleName", PlistValue(number)}},
       std::nullopt},
      {{{"CFBundleDisplayName", PlistValue("")}, {"CFBundleName", PlistValue("Name")}}, ""},
  };
  std::int32_t pid = 100;
  for (const Case& item : cases) {
    for (const bool binary : {false, true}) {
      const std::string bundle = root + "/B" + std::to_string(pid) + ".app";
      auto info = item.info;
      info["CFBundleIdentifier"] = PlistValue("com.example.b" + std::to_string(pid));
      testing::writeBundle(bundle, info, binary);
      paths.paths[pid] = bundle + "/Contents/MacOS/b";
      EXPECT_EQ(resolve(pid, 1),
                (ApplicationIdentity{"com.example.b" + std::to_string(pid), item.name}))
          << "case with pid " << pid;
      ++pid;
    }
  }
  // A bundle whose identifier is empty or missing moves on to the audio layer.
  testing::writeBundle(root + "/NoId.app", {{"CFBundleName", PlistValue("N")}}, false);
  testing::writeBundle(root + "/EmptyId.app", {{"CFBundleIdentifier", PlistValue("")}}, true);
  paths.paths[1] = root + "/NoId.app/Contents/MacOS/n";
  paths.paths[2] = root + "/EmptyId.app/Contents/MacOS/e";
  audio.setText(9, kAudioProcessPropertyBundleID, "com.example.audio");
  EXPECT_EQ(resolve(1, 9), (ApplicationIdentity{"com.example.audio", std::nullopt}));
  EXPECT_EQ(resolve(2, 9), (ApplicationIdentity{"com.example.audio", std::nullopt}));
}

TEST_F(Identity, InvalidUtf8InThePathIsReplacedBeforeTheWalk) {
  const std::string bundle = directory.path() + "/Caf\xC3\xA9.app";
  testing::writeBundle(bundle, {{"CFBundleIdentifier", PlistValue("com.example.cafe")}}, false);
  paths.paths[1] = bundle + "/Contents/MacOS/caf\xC3\xA9";
  EXPECT_EQ(resolve(1, 1), (ApplicationIdentity{"com.example.cafe", std::nullopt}));
  // The repaired path names a directory that does not exist, so the bundle is not found.
  const std::string latin1 = directory.path() + "/Caf\xE9.app";
#ifndef __APPLE__
  // APFS takes only UTF-8 names: there a directory by the raw name cannot exist at all.
  testing::writeBundle(latin1, {{"CFBundleIdentifier", PlistValue("com.example.latin")}}, false);
#endif
  paths.paths[2] = latin1 + "/Contents/MacOS/cafe";
  EXPECT_EQ(resolve(2, 1), std::nullopt);
}

// Copies a real program to `path` and starts it there.
std::unique_ptr<testing::ChildProcess> startCopyAt(const std::string& path) {
  testing::makeDirectories(std::filesystem::path(path).parent_path().string());
  std::filesystem::copy_file("/bin/sleep", path);
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return std::make_unique<testing::ChildProcess>(std::vector<std::string>{path, "60"});
}

// A directory path of exactly `length` bytes below `prefix`, for an executable's name.
std::string pathOfLength(std::string prefix, std::size_t length) {
  while (length - prefix.size() > 250) prefix += "/" + std::string(200, 'd');
  return prefix + "/" + std::string(length - prefix.size() - 1, 'e');
}

TEST(IdentityOfRealProcesses, ResolvesThroughTheExecutablePathAndTheBundleOnDisk) {
  testing::TempDir directory;
  // As the system reports executable paths: on macOS the temporary directories lie behind
  // symbolic links (/var, /tmp).
  const std::string root = std::filesystem::canonical(directory.path()).string();
  const std::string inner = root + "/Outer.app/Contents/Frameworks/Inner.app";
  testing::writeBundle(root + "/Outer.app",
                       {{"CFBundleIdentifier", PlistValue("com.example.outer")},
                        {"CFBundleName", PlistValue("Outer")}},
                       false);
  testing::writeBundle(inner,
                       {{"CFBundleIdentifier", PlistValue("com.example.inner")},
                        {"CFBundleName", PlistValue("Inner")}},
                       true);
  const std::string longBundle = root + "/Long.app";
  ASSERT_LT(longBundle.size(), 700u) << "the temporary directory's path is too long for this test";
  testing::writeBundle(longBundle, {{"CFBundleIdentifier", PlistValue("com.example.long")}}, false);
  // With its zero byte, a 1023-byte path fills the buffer; one more byte and there is no path.
  const std::string fits = pathOfLength(longBundle + "/fits", 1023);
  const std::string tooLong = pathOfLength(longBundle + "/long", 1024);
  ASSERT_EQ(fits.size(), 1023u);
  ASSERT_EQ(tooLong.size(), 1024u);

  const auto innerProcess = startCopyAt(inner + "/Contents/MacOS/Inner");
  const auto fitsProcess = startCopyAt(fits);
#ifdef __linux__
  // macOS starts no program by a path of PATH_MAX (1024) bytes or more.
  const auto tooLongProcess = startCopyAt(tooLong);
#endif

  const auto paths = makeSystemProcessPaths();
  testing::FakeRunningApplications applications;
  testing::SimulatedAudioLayer audio;
  audio.setText(1, kAudioProcessPropertyBundleID, "com.example.audio");
  const DetectorPlatform platform{audio, applications, *paths, currentTimeMs};

  EXPECT_EQ(resolveApplicationIdentity(platform, innerProcess->pid(), 1),
            (ApplicationIdentity{"com.example.inner", "Inner"}));
  EXPECT_EQ(resolveApplicationIdentity(platform, fitsProcess->pid(), 1),
            (ApplicationIdentity{"com.example.long", std::nullopt}));
#ifdef __linux__
  EXPECT_EQ(resolveApplicationIdentity(platform, tooLongProcess->pid(), 1),
            (ApplicationIdentity{"com.example.audio", std::nullopt}));
#endif
  // Processes without an executable path: the test itself is not in a bundle, and no process
  // has a pid of 0 or a negative one.
  EXPECT_EQ(resolveApplicationIdentity(platform, static_cast<std::int32_t>(::getpid()), 1),
            (ApplicationIdentity{"com.example.audio", std::nullopt}));
  char buffer[kProcessPathBufferSize];
  EXPECT_LE(paths->pidPath(0, buffer, sizeof buffer), 0);
  EXPECT_LE(paths->pidPath(-1, buffer, sizeof buffer), 0);
  EXPECT_GT(paths->pidPath(static_cast<std::int32_t>(::getpid()), buffer, sizeof buffer), 0);
  ASSERT_GT(paths->pidPath(innerProcess->pid(), buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer),
            std::filesystem::canonical(inner + "/Contents/MacOS/Inner").string());
}

}  // namespace
}  // namespace micdetector
