// The records of one snapshot line: the applications capturing audio input and their devices.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace micdetector {

struct MicInputDevice {
  std::string uid;
  std::string name;

  bool operator==(const MicInputDevice&) const = default;
};

struct MicActiveApp {
  std::string bundleId;
  std::int32_t pid = 0;
  std::uint64_t detectedAtMs = 0;  // the poll's wall-clock time, the same for every entry
  std::optional<std::string> applicationName;
  std::optional<std::vector<MicInputDevice>> inputDevices;  // absent when not known

  bool operator==(const MicActiveApp&) const = default;
};

struct SnapshotMessage {
  std::string type = "snapshot";
  std::uint64_t timestampMs = 0;  // when the writer built the line
  std::vector<MicActiveApp> apps;

  bool operator==(const SnapshotMessage&) const = default;
};

}  // namespace micdetector
