// Follows what the sandboxes leave behind (flatpak's info file, snap's units) and the unit
// naming that desktops use when they launch applications into systemd scopes and services.
#include "platform/linux/xdg_running_applications.h"

#include "platform/linux/process_lookup_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include <sys/stat.h>

namespace micdetector {
namespace {

constexpr std::size_t kMaxFileSize = 256 * 1024;

std::optional<std::string> readSmallFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> contents;
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    // Files under /proc report a size of 0, so read until the end rather than by size.
    std::string bytes;
    char chunk[4096];
    for (;;) {
      const ssize_t got = ::read(fd, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0 || bytes.size() + static_cast<std::size_t>(got) > kMaxFileSize) break;
      bytes.append(chunk, static_cast<std::size_t>(got));
    }
    contents = std::move(bytes);
  }
  ::close(fd);
  return contents;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Undoes systemd's unit-name escaping ("\x2d" for a dash inside a name part).
std::string unescapeUnitPart(std::string_view part) {
  std::string out;
  for (std::size_t i = 0; i < part.size(); ++i) {
    if (part[i] == '\\' && i + 3 < part.size() && part[i + 1] == 'x') {
      const int high = hexDigit(part[i + 2]), low = hexDigit(part[i + 3]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 3;
        continue;
      }
    }
    out.push_back(part[i]);
  }
  return out;
}

// The id names a file (<id>.desktop), so it must stay one plain file name.
std::optional<std::string> usableId(std::string id) {
  if (id.empty() || id == "." || id == ".." ||
      id.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
    return std::nullopt;
  }
  return id;
}

std::optional<std::string> applicationIdFromUnit(std::string_view unit) {
  if (!unit.starts_with("app-")) return std::nullopt;
  unit.remove_prefix(4);
  std::vector<std::string_view> parts;
  if (unit.ends_with(".scope")) {
    unit.remove_suffix(6);
    parts = split(unit, '-');
    if (parts.size() < 2) return std::nullopt;
    parts.pop_back();  // the launch's own number
  } else if (unit.ends_with(".service")) {
    unit.remove_suffix(8);
    unit = unit.substr(0, unit.find('@'));
    parts = split(unit, '-');
  } else {
    return std::nullopt;
  }
  // What is left is [launcher-]id; a launcher name has no dash.
  if (parts.empty() || parts.size() > 2 || parts.back().empty()) return std::nullopt;
  return usableId(unescapeUnitPart(parts.back()));
}

// snap.<name>.<app>[-<n>].scope or snap.<name>.<app>.service: the name, and what follows it.
std::optional<std::pair<std::string, std::string_view>> snapUnit(std::string_view unit) {
  if (!unit.starts_with("snap.")) return std::nullopt;
  unit.remove_prefix(5);
  if (unit.ends_with(".scope")) {
    unit.remove_suffix(6);
  } else if (unit.ends_with(".service")) {
    unit.remove_suffix(8);
  } else {
    return std::nullopt;
  }
  const std::size_t dot = unit.find('.');
  if (dot == std::string_view::npos || dot + 1 == unit.size()) return std::nullopt;
  auto name = usableId(std::string(unit.substr(0, dot)));
  if (!name) return std::nullopt;
  return std::pair{std::move(*name), unit.substr(dot + 1)};
}

std::optional<std::string> snapNameFromUnit(std::string_view unit) {
  if (auto snap = snapUnit(unit)) return std::move(snap->first);
  return std::nullopt;
}

// The path of the cgroup named by /proc/PID/cgroup contents.
std::string_view cgroupPath(std::string_view cgroupContents) {
  // cgroup v2 has the line "0::/path"; under v1 the systemd hierarchy is "N:name=systemd:/path".
  std::string_view path;
  for (std::string_view line : split(cgroupContents, '\n')) {
    const auto fields = split(line, ':');
    if (fields.size() < 3) continue;
    if ((fields[0] == "0" && fields[1].empty()) || fields[1] == "name=systemd") {
      path = line.substr(fields[0].size() + fields[1].size() + 2);
      if (fields[1].empty()) break;
    }
  }
  return path;
}

// "de_DE.UTF-8@euro" gives the keys to try: "de_DE@euro", "de_DE", "de@euro", "de".
std::vector<std::string> localeKeys(std::string_view locale) {
  std::string_view modifier;
  if (const std::size_t at = locale.find('@'); at != std::string_view::npos) {
    modifier = locale.substr(at);
    locale = locale.substr(0, at);
  }
  locale = locale.substr(0, locale.find('.'));
  std::vector<std::string> keys;
  if (locale.empty() || locale == "C" || locale == "POSIX") return keys;
  const std::string_view language = locale.substr(0, locale.find('_'));
  if (!modifier.empty()) keys.push_back(std::string(locale) + std::string(modifier));
  keys.emplace_back(locale);
  if (language != locale) {
    if (!modifier.empty()) keys.push_back(std::string(language) + std::string(modifier));
    keys.emplace_back(language);
  }
  return keys;
}

std::string unescapeDesktopValue(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out.push_back(value[i]);
      continue;
    }
    switch (value[++i]) {
      case 's':
        out.push_back(' ');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case '\\':
        out.push_back('\\');
        break;
      default:
        out.push_back('\\');
        out.push_back(value[i]);
        break;
    }
  }
  return out;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

std::vector<std::string> snapDesktopIds(std::string_view cgroupContents) {
  const auto components = split(cgroupPath(cgroupContents), '/');
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    const auto snap = snapUnit(*it);
    if (!snap) continue;
    // A scope's app name carries a launch suffix that may itself hold dashes ("-<uuid>"), and
    // app names hold dashes too: each shorter reading is a candidate, longest first.
    std::vector<std::string> ids;
    std::string_view app = snap->second;
    for (;;) {
      if (auto id = usableId(snap->first + "_" + std::string(app))) ids.push_back(std::move(*id));
      const std::size_t dash = app.rfind('-');
      if (dash == std::string_view::npos || dash == 0) break;
      app = app.substr(0, dash);
    }
    return ids;
  }
  return {};
}

std::optional<std::string> applicationIdFromCgroup(std::string_view cgroupContents) {
  // The innermost unit decides: a unit may hold sub-groups of its own.
  const auto components = split(cgroupPath(cgroupContents), '/');
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    if (auto name = snapNameFromUnit(*it)) return name;
  }
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    if (auto id = applicationIdFromUnit(*it)) return id;
  }
  return std::nullopt;
}

std::optional<std::string> applicationIdFromFlatpakInfo(std::string_view flatpakInfoContents) {
  bool inApplication = false;
  for (std::string_view line : split(flatpakInfoContents, '\n')) {
    line = trimmed(line);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inApplication = line == "[Application]";
      continue;
    }
    const std::size_t equals = line.find('=');
    if (!inApplication || equals == std::string_view::npos) continue;
    if (trimmed(line.substr(0, equals)) == "name") {
      return usableId(std::string(trimmed(line.substr(equals + 1))));
    }
  }
  return std::nullopt;
}

std::optional<std::string> desktopEntryName(std::string_view desktopFileContents,
                                            std::string_view locale) {
  const std::vector<std::string> wanted = localeKeys(locale);
  std::optional<std::string> plain;
  std::optional<std::string> localized;
  std::size_t localizedRank = wanted.size();
  bool inEntry = false;
  for (std::string_view line : split(desktopFileContents, '\n')) {
    line = trimmed(line);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    if (!inEntry) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = trimmed(line.substr(0, equals));
    const std::string_view value = trimmed(line.substr(equals + 1));
    if (key == "Name") {
      if (!plain) plain = unescapeDesktopValue(value);
    } else if (key.starts_with("Name[") && key.ends_with("]")) {
      const std::string_view tag = key.substr(5, key.size() - 6);
      for (std::size_t rank = 0; rank < localizedRank; ++rank) {
        if (wanted[rank] == tag) {
          localized = unescapeDesktopValue(value);
          localizedRank = rank;
          break;
        }
      }
    }
  }
  return localized ? localized : plain;
}

XdgRunningApplications::XdgRunningApplications(std::string procRoot,
                                               std::vector<std::string> dataDirectories,
                                               std::string locale)
    : procRoot_(std::move(procRoot)),
      dataDirectories_(std::move(dataDirectories)),
      locale_(std::move(locale)) {}

std::optional<RunningApplication> XdgRunningApplications::applicationWithProcessIdentifier(
    std::int32_t pid) {
  if (pid <= 0) return std::nullopt;
  const std::string process = procRoot_ + "/" + std::to_string(pid);
  // Only a flatpak sandbox has this file at its root; the host has none.
  std::optional<std::string> id;
  std::vector<std::string> desktopIds;
  if (const auto info = readSmallFile(process + "/root/.flatpak-info")) {
    id = applicationIdFromFlatpakInfo(*info);
  }
  if (!id) {
    if (const auto cgroup = readSmallFile(process + "/cgroup")) {
      id = applicationIdFromCgroup(*cgroup);
      // A snap's desktop files are named <snap>_<app>.desktop.
      if (id) desktopIds = snapDesktopIds(*cgroup);
    }
  }
  if (!id) return std::nullopt;
  desktopIds.push_back(*id);
  RunningApplication application{*id, std::nullopt};
  for (const std::string& desktopId : desktopIds) {
    for (const std::string& directory : dataDirectories_) {
      if (const auto entry = readSmallFile(directory + "/applications/" + desktopId + ".desktop")) {
        application.localizedName = desktopEntryName(*entry, locale_);
        return application;
      }
    }
  }
  return application;
}

std::vector<std::string> xdgDataDirectories() {
  std::vector<std::string> directories;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  if (dataHome != nullptr && dataHome[0] == '/') {
    directories.emplace_back(dataHome);
  } else if (home != nullptr && home[0] == '/') {
    directories.push_back(std::string(home) + "/.local/share");
  }
  const char* dataDirs = std::getenv("XDG_DATA_DIRS");
  const std::string_view list =
      dataDirs != nullptr && dataDirs[0] != '\0' ? dataDirs : "/usr/local/share:/usr/share";
  for (std::string_view directory : split(list, ':')) {
    if (!directory.empty() && directory.front() == '/') directories.emplace_back(directory);
  }
  // Where snapd puts the desktop files of installed snaps, also when the session's list lacks it.
  constexpr std::string_view kSnapDesktopFiles = "/var/lib/snapd/desktop";
  if (std::ranges::find(directories, kSnapDesktopFiles) == directories.end()) {
    directories.emplace_back(kSnapDesktopFiles);
  }
  return directories;
}

std::unique_ptr<RunningApplications> makeSystemRunningApplications() {
  const char* locale = std::getenv("LC_ALL");
  if (locale == nullptr || locale[0] == '\0') locale = std::getenv("LC_MESSAGES");
  if (locale == nullptr || locale[0] == '\0') locale = std::getenv("LANG");
  return cachedRunningApplications(
      std::make_unique<XdgRunningApplications>("/proc", xdgDataDirectories(),
                                               locale != nullptr ? locale : ""),
      systemProcessLookupCache());
}

}  // namespace micdetector
