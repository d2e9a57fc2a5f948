// One picture of a PulseAudio-protocol sound server (PulseAudio itself, or PipeWire through its
// PulseAudio interface): its recording streams, its sources and its clients.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace micdetector {

struct PulseServerState {
  struct Source {
    std::uint32_t index = 0;
    std::string name;
    std::optional<std::string> description;
    bool isMonitor = false;  // records what a sink plays, not a microphone
  };

  // Only the client properties the detector reads, as the server keeps them.
  struct Client {
    std::uint32_t index = 0;
    std::optional<std::string> applicationId;             // application.id
    std::optional<std::string> portalAppId;               // pipewire.access.portal.app_id
    std::optional<std::string> applicationProcessId;      // application.process.id
    std::optional<std::string> serverRecordedProcessId;   // pipewire.sec.pid
    std::optional<std::string> clientApi = std::nullopt;  // client.api
  };

  // A recording stream, with the application properties it carries itself.
  struct SourceOutput {
    std::uint32_t index = 0;
    std::uint32_t client = 0;
    std::uint32_t source = 0;
    bool corked = false;
    bool peakDetect = false;  // a level meter's stream, resampled to peaks
    std::optional<std::string> applicationId = std::nullopt;
    std::optional<std::string> portalAppId = std::nullopt;
    std::optional<std::string> applicationProcessId = std::nullopt;
  };

  std::vector<SourceOutput> sourceOutputs;
  std::vector<Source> sources;
  std::vector<Client> clients;
  // Changes whenever the picture does; 0 for a picture that says nothing about that.
  std::uint64_t version = 0;
};

// Takes pictures of the server.
class PulseServerReader {
 public:
  virtual ~PulseServerReader() = default;
  // The server's current picture, or null when no server answers. It stays valid and
  // unchanged until the next call.
  virtual const PulseServerState* readState() = 0;
};

}  // namespace micdetector
