// Identity is resolved for every capturing process on every poll; nothing is cached here. The
// platform's tables may answer from what they keep (the Linux ones do, while the sound server
// shows the same process).
#include "application_identity.h"

#include <array>
#include <cstring>

#include "audio_properties.h"
#include "platform/bundle.h"
#include "utf8.h"

namespace micdetector {
namespace {

std::string_view withoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

// The parent directory, as file URL arithmetic gives it: "/" above a top-level name.
std::string_view parentDirectory(std::string_view path) {
  path = withoutTrailingSlashes(path);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
  return withoutTrailingSlashes(path.substr(0, slash));
}

// The text after the last "." of the last component; a name that only starts with a dot,
// such as ".app", is hidden and has no extension.
std::string_view pathExtension(std::string_view path) {
  const std::string_view name = path.substr(path.rfind('/') + 1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

std::optional<std::string> nonEmpty(std::optional<std::string> text) {
  if (text && text->empty()) return std::nullopt;
  return text;
}

std::optional<ApplicationIdentity> fromRunningApplication(const DetectorPlatform& platform,
                                                          std::int32_t pid) {
  auto application = platform.runningApplications.applicationWithProcessIdentifier(pid);
  if (!application) return std::nullopt;
  auto bundleId = nonEmpty(std::move(application->bundleIdentifier));
  if (!bundleId) return std::nullopt;
  return ApplicationIdentity{std::move(*bundleId), std::move(application->localizedName)};
}

std::optional<ApplicationIdentity> fromEnclosingBundle(const DetectorPlatform& platform,
                                                       std::int32_t pid) {
  std::array<char, kProcessPathBufferSize> buffer{};
  if (platform.processPaths.pidPath(pid, buffer.data(), kProcessPathBufferSize) <= 0) {
    return std::nullopt;
  }
  const std::string path =
      validUtf8(std::string_view(buffer.data(), strnlen(buffer.data(), buffer.size())));
  const auto directory = findBundleURL(path);
  if (!directory) return std::nullopt;
  const auto bundle = Bundle::atDirectory(*directory);
  if (!bundle) return std::nullopt;
  auto bundleId = nonEmpty(bundle->bundleIdentifier());
  if (!bundleId) return std::nullopt;
  std::optional<std::string> name;
  for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
    InfoValue value = bundle->objectForInfoDictionaryKey(key);
    if (value.kind == InfoValue::Kind::text) {
      name = std::move(value.text);
      break;
    }
  }
  return ApplicationIdentity{std::move(*bundleId), std::move(name)};
}

std::optional<ApplicationIdentity> fromAudioLayer(const DetectorPlatform& platform,
                                                  AudioObjectID processObjectID) {
  auto bundleId =
      nonEmpty(getTextProperty(platform.audio, processObjectID, kAudioProcessPropertyBundleID));
  if (!bundleId) return std::nullopt;
  return ApplicationIdentity{std::move(*bundleId), std::nullopt};
}

}  // namespace

std::optional<ApplicationIdentity> resolveApplicationIdentity(const DetectorPlatform& platform,
                                                              std::int32_t pid,
                                                              AudioObjectID processObjectID) {
  if (auto identity = fromRunningApplication(platform, pid)) return identity;
  if (auto identity = fromEnclosingBundle(platform, pid)) return identity;
  return fromAudioLayer(platform, processObjectID);
}

std::optional<std::string> findBundleURL(std::string_view executablePath) {
  // Executable paths of processes are absolute; a relative one would depend on our own
  // working directory, which has nothing to do with the process.
  if (!executablePath.starts_with('/')) return std::nullopt;
  std::string_view candidate = parentDirectory(executablePath);
  while (candidate != "/") {
    if (pathExtension(candidate) == "app") return std::string(candidate);
    candidate = parentDirectory(candidate);
  }
  return std::nullopt;
}

}  // namespace micdetector
