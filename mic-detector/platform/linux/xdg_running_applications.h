// Running applications on a Linux desktop: a process belongs to the application whose sandbox
// (flatpak, snap) or systemd unit (app-<launcher>-<id>-<n>.scope, app-<id>@<n>.service) holds
// it, and the application's name comes from its <id>.desktop file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/running_applications.h"

namespace micdetector {

// The application id named by a process's /proc/PID/cgroup contents: the name of a snap whose
// unit holds it, else the id of the innermost application unit; nothing when the process runs
// in neither.
std::optional<std::string> applicationIdFromCgroup(std::string_view cgroupContents);

// The ids of the desktop files that may name the app of the snap whose unit holds a process,
// most likely first ("<snap>_<app>"); none when no snap unit holds it.
std::vector<std::string> snapDesktopIds(std::string_view cgroupContents);

// The `name` of the [Application] group of a sandbox's .flatpak-info file.
std::optional<std::string> applicationIdFromFlatpakInfo(std::string_view flatpakInfoContents);

// The Name of a desktop entry's [Desktop Entry] group, localized for `locale` (such as
// "de_DE.UTF-8") where the file has a translation.
std::optional<std::string> desktopEntryName(std::string_view desktopFileContents,
                                            std::string_view locale);

class XdgRunningApplications final : public RunningApplications {
 public:
  // `procRoot` is where the process table is mounted; `dataDirectories` are searched in order
  // for applications/<id>.desktop; `locale` picks the translation of the name.
  XdgRunningApplications(std::string procRoot, std::vector<std::string> dataDirectories,
                         std::string locale);

  std::optional<RunningApplication> applicationWithProcessIdentifier(std::int32_t pid) override;

 private:
  std::string procRoot_;
  std::vector<std::string> dataDirectories_;
  std::string locale_;
};

// XDG_DATA_HOME, then XDG_DATA_DIRS, with their standard defaults.
std::vector<std::string> xdgDataDirectories();

}  // namespace micdetector
