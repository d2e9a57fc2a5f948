// Application ids from systemd units and names from desktop entries.
#include "platform/linux/xdg_running_applications.h"

#include <gtest/gtest.h>

#include "test_files.h"

namespace micdetector {
namespace {

TEST(XdgRunningApplications, ApplicationIdsComeFromTheInnermostApplicationUnit) {
  const std::string user = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/";
  EXPECT_EQ(applicationIdFromCgroup(user + "app-gnome-org.gnome.Nautilus-4242.scope\n"),
            "org.gnome.Nautilus");
  EXPECT_EQ(applicationIdFromCgroup(user + "app-flatpak-com.example.Recorder-12345.scope\n"),
            "com.example.Recorder");
  EXPECT_EQ(applicationIdFromCgroup(user + "app-org.kde.dolphin@8f3a.service"), "org.kde.dolphin");
  EXPECT_EQ(applicationIdFromCgroup(user + "app-firefox.service"), "firefox");
  EXPECT_EQ(applicationIdFromCgroup(user + "app-gnome-my\\x2dapp-77.scope/sub.scope\n"), "my-app");
  // Under cgroup v1 the systemd hierarchy names the unit.
  EXPECT_EQ(applicationIdFromCgroup("12:cpu,cpuacct:/\n1:name=systemd:/user.slice/"
                                    "app-gnome-org.example.Old-9.scope\n"),
            "org.example.Old");
  // Processes outside application units.
  EXPECT_EQ(applicationIdFromCgroup("0::/system.slice/pulseaudio.service\n"), std::nullopt);
  EXPECT_EQ(applicationIdFromCgroup(user + "gnome-terminal-server.service"), std::nullopt);
  EXPECT_EQ(applicationIdFromCgroup(user + "app-gnome-a-b-c-1.scope"), std::nullopt);
  EXPECT_EQ(applicationIdFromCgroup(user + "app-7.scope"), std::nullopt);
  EXPECT_EQ(applicationIdFromCgroup(user + "app-x\\x2f..-1.scope"), std::nullopt);
  EXPECT_EQ(applicationIdFromCgroup(""), std::nullopt);
}

TEST(XdgRunningApplications, SnapsAreNamedByTheirUnitBeforeAnyApplicationUnit) {
  const std::string user = "0::/user.slice/user-1000.slice/user@1000.service/";
  EXPECT_EQ(applicationIdFromCgroup(user + "app.slice/snap.firefox.firefox-4f2c.scope\n"),
            "firefox");
  EXPECT_EQ(applicationIdFromCgroup("0::/system.slice/snap.lxd.daemon.service\n"), "lxd");
  EXPECT_EQ(applicationIdFromCgroup(user + "app-gnome-org.example.Term-3.scope/"
                                           "snap.my-tool.my-tool-9.scope"),
            "my-tool");
  EXPECT_EQ(applicationIdFromCgroup(user + "snap.firefox.scope"), std::nullopt);
  EXPECT_EQ(applicationIdFromCgroup(user + "snap..x.scope"), std::nullopt);
  EXPECT_EQ(applicationIdFromCgroup(user + "snap.firefox.firefox.slice"), std::nullopt);
}

TEST(XdgRunningApplications, FlatpakSandboxesNameTheirApplicationInTheirInfoFile) {
  EXPECT_EQ(applicationIdFromFlatpakInfo("[Instance]\nname=not.this\n[Application]\n"
                                         "runtime=runtime/org.example.Platform/x86_64/1\n"
                                         "name = org.example.Recorder \n"),
            "org.example.Recorder");
  EXPECT_EQ(applicationIdFromFlatpakInfo("[Runtime]\nname=org.example.Platform\n"), std::nullopt);
  EXPECT_EQ(applicationIdFromFlatpakInfo("[Application]\nname=../escape\n"), std::nullopt);
  EXPECT_EQ(applicationIdFromFlatpakInfo("[Application]\nname=..\n"), std::nullopt);
  EXPECT_EQ(applicationIdFromFlatpakInfo("[Application]\nname=\n"), std::nullopt);
  EXPECT_EQ(applicationIdFromFlatpakInfo(""), std::nullopt);
}

TEST(XdgRunningApplications, NamesComeFromTheDesktopEntryLocalizedWhereTranslated) {
  const std::string entry =
      "# comment\n[Desktop Action new]\nName=New Window\n"
      "[Desktop Entry]\nType=Application\nName[de]=Aufnahme\nName = Recorder\\sPro\n"
      "Name[de_AT]=Aufnahme AT\nName[fr@euro]=Enregistreur\nGenericName=Audio\n";
  EXPECT_EQ(desktopEntryName(entry, ""), "Recorder Pro");
  EXPECT_EQ(desktopEntryName(entry, "C.UTF-8"), "Recorder Pro");
  EXPECT_EQ(desktopEntryName(entry, "de_DE.UTF-8"), "Aufnahme");
  EXPECT_EQ(desktopEntryName(entry, "de_AT.UTF-8"), "Aufnahme AT");
  EXPECT_EQ(desktopEntryName(entry, "fr_FR.UTF-8@euro"), "Enregistreur");
  EXPECT_EQ(desktopEntryName(entry, "fr_FR.UTF-8"), "Recorder Pro");
  EXPECT_EQ(desktopEntryName("[Desktop Entry]\nExec=x\n", ""), std::nullopt);
}

TEST(XdgRunningApplications, LooksProcessesUpInTheProcessTableAndTheDataDirectories) {
  testing::TempDir directory;
  const std::string proc = directory.path() + "/proc";
  const std::string first = directory.path() + "/first", second = directory.path() + "/second";
  testing::writeFile(proc + "/42/cgroup", "0::/user.slice/app-gnome-org.example.Rec-1.scope\n");
  testing::writeFile(proc + "/43/cgroup", "0::/user.slice/app-org.example.NoEntry@1.service\n");
  testing::writeFile(proc + "/44/cgroup", "0::/system.slice/cron.service\n");
  // A flatpak sandbox: its info file wins over its unit.
  testing::writeFile(proc + "/46/cgroup", "0::/user.slice/app-flatpak-org.example.Unit-1.scope\n");
  testing::writeFile(proc + "/46/root/.flatpak-info", "[Application]\nname=org.example.Rec\n");
  testing::writeFile(proc + "/47/cgroup", "0::/user.slice/snap.recorder.recorder-5.scope\n");
  testing::writeFile(proc + "/48/cgroup",
                     "0::/user.slice/snap.rec-suite.live-mic-1e9b-44d2.scope\n");
  testing::writeFile(second + "/applications/rec-suite_live-mic.desktop",
                     "[Desktop Entry]\nName=Live Mic\n");
  testing::writeFile(second + "/applications/org.example.Rec.desktop",
                     "[Desktop Entry]\nName=Second\n");
  XdgRunningApplications applications(proc, {first, second}, "");
  const auto rec = applications.applicationWithProcessIdentifier(42);
  ASSERT_TRUE(rec.has_value());
  EXPECT_EQ(rec->bundleIdentifier, "org.example.Rec");
  EXPECT_EQ(rec->localizedName, "Second");
  // The first data directory that has the entry wins.
  testing::writeFile(first + "/applications/org.example.Rec.desktop",
                     "[Desktop Entry]\nName=First\n");
  EXPECT_EQ(applications.applicationWithProcessIdentifier(42)->localizedName, "First");

  const auto noEntry = applications.applicationWithProcessIdentifier(43);
  ASSERT_TRUE(noEntry.has_value());
  EXPECT_EQ(noEntry->bundleIdentifier, "org.example.NoEntry");
  EXPECT_EQ(noEntry->localizedName, std::nullopt);
  EXPECT_EQ(applications.applicationWithProcessIdentifier(44), std::nullopt);
  const auto sandboxed = applications.applicationWithProcessIdentifier(46);
  ASSERT_TRUE(sandboxed.has_value());
  EXPECT_EQ(sandboxed->bundleIdentifier, "org.example.Rec");
  EXPECT_EQ(sandboxed->localizedName, "First");
  EXPECT_EQ(applications.applicationWithProcessIdentifier(47)->bundleIdentifier, "recorder");
  // A snap's app is named by its <snap>_<app> desktop file, past the scope's launch suffix.
  const auto snap = applications.applicationWithProcessIdentifier(48);
  ASSERT_TRUE(snap.has_value());
  EXPECT_EQ(snap->bundleIdentifier, "rec-suite");
  EXPECT_EQ(snap->localizedName, "Live Mic");
  EXPECT_EQ(snapDesktopIds("0::/system.slice/snap.lxd.daemon.service\n"),
            std::vector<std::string>{"lxd_daemon"});
  EXPECT_EQ(snapDesktopIds("0::/user.slice/app-gnome-org.example.Rec-1.scope\n"),
            std::vector<std::string>{});
  EXPECT_EQ(applications.applicationWithProcessIdentifier(45), std::nullopt);
  EXPECT_EQ(applications.applicationWithProcessIdentifier(0), std::nullopt);
}

}  // namespace
}  // namespace micdetector
