// A private PulseAudio-protocol server for integration tests: PulseAudio itself, or a headless
// PipeWire with its PulseAudio interface (pipewire-pulse), in a temporary runtime directory, with
// recording clients (parecord, pw-record) and pactl run against it. Nothing of the user's own
// sound setup is read or touched.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "test_files.h"

namespace micdetector::testing {

enum class SoundServer { pulseAudio, pipeWire };

// "PulseAudio" or "PipeWire", for test names.
std::string serverName(SoundServer kind);

// Why integration tests on this server cannot run here, or nothing when they can.
std::optional<std::string> pulseServerMissing(SoundServer kind = SoundServer::pulseAudio);

class PulseServer {
 public:
  // Starts a server whose microphone is the source "mic" ("Microphone") and whose speakers are
  // the null sink "speakers" (with its monitor "speakers.monitor").
  explicit PulseServer(SoundServer kind = SoundServer::pulseAudio);
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // Stops the process that serves the PulseAudio protocol (on PipeWire, pipewire-pulse).
  void stop();
  // Starts it again at the same address, with the same devices.
  void start();
  // Stops that process where it stands (SIGSTOP), or lets it go on (SIGCONT).
  void freeze(bool frozen);
  SoundServer kind() const { return kind_; }

  // The address for a libpulse client ("unix:…").
  std::string address() const;
  // The environment of a process that finds this server the usual way (its XDG_RUNTIME_DIR),
  // and no other: no X11 display, session bus or PULSE_* settings of the user's.
  const std::vector<std::string>& environment() const { return environment_; }
  const std::string& directory() const { return directory_.path(); }

  // A parecord recording from `device`, its client properties set by `properties`
  // (PULSE_PROP form: "application.id=org.example.App"), its samples thrown away.
  // `program` may be a copy of parecord elsewhere.
  std::unique_ptr<ChildProcess> record(const std::string& device, const std::string& properties,
                                       const std::string& program = "/usr/bin/parecord");
  // A native PipeWire recorder (pw-record) whose stream carries `applicationId`.
  std::unique_ptr<ChildProcess> recordNatively(const std::string& device,
                                               const std::string& applicationId);

  // What pactl prints for these arguments.
  std::string pactl(const std::vector<std::string>& arguments) const;
  // The application.process.id of every recording stream, as pactl lists them.
  std::multiset<std::string> recordingProcessIds() const;
  // Waits (up to a few seconds) until the server has exactly `count` recording streams.
  void waitForSourceOutputs(std::size_t count) const;

 private:
  std::string socketPath() const;
  void waitUntil(bool (*ready)(const PulseServer&), const char* what, const std::string& log);

  SoundServer kind_;
  TempDir directory_;
  std::vector<std::string> environment_;
  // On PipeWire: the session bus, pipewire and wireplumber, which live as long as the fixture.
  std::vector<std::unique_ptr<ChildProcess>> session_;
  std::unique_ptr<ChildProcess> server_;
};

// A recording stream of this very process, for the states parecord cannot put a stream in and
// for several streams of one process: paused, peak-detecting, capturing the microphone, or
// recording the speakers' monitor.
class InProcessStream {
 public:
  enum class Kind { corked, peakDetect, capturing, monitor };
  InProcessStream(const std::string& address, const std::string& applicationId, Kind kind);
  ~InProcessStream();
  InProcessStream(const InProcessStream&) = delete;
  InProcessStream& operator=(const InProcessStream&) = delete;

 private:
  struct Client;
  std::unique_ptr<Client> client_;
};

}  // namespace micdetector::testing
