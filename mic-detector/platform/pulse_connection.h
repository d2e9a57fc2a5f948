// A client connection to a PulseAudio-protocol sound server through libpulse, taking pictures
// of the server's recording streams, sources and clients.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "pulse_server_state.h"

struct pa_context;
struct pa_mainloop;

namespace micdetector {

class PulseConnection final : public PulseServerReader {
 public:
  // `server` is a server address as libpulse takes it ("unix:/run/user/1000/pulse/native");
  // without one, libpulse finds the user's server the usual way. A server is never started.
  explicit PulseConnection(std::optional<std::string> server = std::nullopt,
                           std::chrono::milliseconds timeout = std::chrono::milliseconds(750));
  ~PulseConnection() override;
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // Connects when not connected (again after the server went away), then asks for the three
  // lists in one round. Nothing when the server cannot be reached or does not answer in time.
  std::optional<PulseServerState> readState() override;

 private:
  using Deadline = std::chrono::steady_clock::time_point;
  enum class Outcome { answered, connectionLost, timedOut };

  bool connect(Deadline deadline);
  void disconnect();
  // Runs the main loop until `done` holds, the connection fails or the deadline passes.
  template <typename Done>
  Outcome runUntil(Done done, Deadline deadline);
  Outcome query(PulseServerState& state, Deadline deadline);

  std::optional<std::string> server_;
  std::chrono::milliseconds timeout_;
  pa_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
};

}  // namespace micdetector
