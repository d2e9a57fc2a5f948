// Which application a capturing process belongs to: from the desktop's running applications,
// from the application bundle around its executable, or from the audio layer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "detector_platform.h"

namespace micdetector {

struct ApplicationIdentity {
  std::string bundleId;  // never empty
  std::optional<std::string> applicationName;

  bool operator==(const ApplicationIdentity&) const = default;
};

// The first source that gives a non-empty bundle identifier decides; none gives nothing.
// Never fails and logs nothing.
std::optional<ApplicationIdentity> resolveApplicationIdentity(const DetectorPlatform& platform,
                                                              std::int32_t pid,
                                                              AudioObjectID processObjectID);

// The innermost directory above the executable whose name ends in ".app" (case-sensitive),
// or nothing when the walk reaches "/". The executable's own name is never tested.
std::optional<std::string> findBundleURL(std::string_view executablePath);

}  // namespace micdetector
