// Plain file look-ups, so that the program can decide whether to load GLib and EDS at all.
#include "store/eds/eds_presence.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace vandrelis::store {
namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool edsSessionBusPresent() {
  const auto isSocket = [](const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
  };
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && *address != '\0') {
    std::string_view rest = address;
    while (!rest.empty()) {
      std::string_view entry = rest.substr(0, rest.find(';'));
      rest.remove_prefix(std::min(rest.size(), entry.size() + 1));
      if (!entry.starts_with("unix:")) return true;  // another transport: let GLib try it
      std::size_t at = entry.find("path=");
      if (at == std::string_view::npos) return true;  // abstract sockets cannot be checked
      std::string_view value = entry.substr(at + 5);
      value = value.substr(0, value.find(','));
      std::string path;
      for (std::size_t i = 0; i < value.size(); ++i) {
        const int high = i + 2 < value.size() ? hexDigit(value[i + 1]) : -1;
        const int low = i + 2 < value.size() ? hexDigit(value[i + 2]) : -1;
        if (value[i] == '%' && high >= 0 && low >= 0) {
          path.push_back(static_cast<char>(high * 16 + low));
          i += 2;
        } else {
          path.push_back(value[i]);
        }
      }
      if (isSocket(path)) return true;
    }
    return false;
  }
  // GLib's own fall-back; the autolaunch after it would cost a process start.
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime != nullptr && *runtime != '\0' && isSocket(std::string(runtime) + "/bus");
}

bool edsRegistryInstalled() {
  // The session bus's own service directories: $XDG_DATA_HOME, then each of $XDG_DATA_DIRS.
  std::vector<std::string> roots;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  if (dataHome != nullptr && *dataHome != '\0') {
    roots.push_back(dataHome);
  } else if (home != nullptr) {
    roots.push_back(std::string(home) + "/.local/share");
  }
  const char* dataDirs = std::getenv("XDG_DATA_DIRS");
  std::string_view dirs =
      dataDirs != nullptr && *dataDirs != '\0' ? dataDirs : "/usr/local/share:/usr/share";
  while (!dirs.empty()) {
    std::string_view dir = dirs.substr(0, dirs.find(':'));
    if (!dir.empty()) roots.emplace_back(dir);
    dirs.remove_prefix(std::min(dirs.size(), dir.size() + 1));
  }
  for (const std::string& root : roots) {
    std::string file = root + "/dbus-1/services/org.gnome.evolution.dataserver.Sources5.service";
    if (::access(file.c_str(), R_OK) == 0) return true;
  }
  return false;
}

std::string executableDirectory() {
  std::array<char, 4096> buffer{};
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return {};
  std::string path(buffer.data(), static_cast<std::size_t>(length));
  path.resize(path.rfind('/') + 1);
  return path;
}

}  // namespace vandrelis::store
