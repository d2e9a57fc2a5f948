// A client connection to a PulseAudio-protocol sound server through libpulse that keeps a
// picture of the server's recording streams, sources and clients up to date from the server's
// change events.
#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "platform/linux/pulse_server_state.h"

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

  // Connects when not connected (again after the server went away) and then reads everything;
  // on a kept connection, takes in the changes the server announced since the last call. Null
  // when the server cannot be reached or does not answer in time.
  const PulseServerState* readState() override;

  // How many objects were read one by one after a change, and how many whole reads were made:
  // what the picture cost to keep.
  struct Counters {
    std::uint64_t objectReads = 0;
    std::uint64_t fullReads = 0;
  };
  const Counters& counters() const { return counters_; }

 private:
  using Deadline = std::chrono::steady_clock::time_point;
  enum class Outcome { answered, connectionLost, timedOut };
  enum class Kind { sourceOutput, source, client };
  // A read of one object, in flight; its answer says which object it was about.
  struct Fetch {
    PulseConnection* connection;
    Kind kind;
    std::uint32_t index;
  };

  bool connect(Deadline deadline);
  void disconnect();
  // Runs the main loop until `done` holds, the connection fails or the deadline passes.
  template <typename Done>
  Outcome runUntil(Done done, Deadline deadline);
  Outcome readEverything(Deadline deadline);
  Outcome catchUp(Deadline deadline);
  Outcome refresh(Deadline deadline);

  void changed(Kind kind, std::uint32_t index, bool removed);
  void fetched(Fetch* fetch, int eol);
  void answered(int eol);
  void forget(Kind kind, std::uint32_t index);

  // libpulse's callbacks, which reach the members above.
  struct Callbacks;
  friend struct Callbacks;

  std::optional<std::string> server_;
  std::chrono::milliseconds timeout_;
  pa_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;

  std::map<std::uint32_t, PulseServerState::SourceOutput> sourceOutputs_;
  std::map<std::uint32_t, PulseServerState::Source> sources_;
  std::map<std::uint32_t, PulseServerState::Client> clients_;
  // Objects the server said changed or appeared, not yet read again.
  std::set<std::pair<Kind, std::uint32_t>> stale_;
  std::list<Fetch> fetches_;
  int pending_ = 0;       // answers still to come
  bool refused_ = false;  // a request the server answered with an error
  bool dirty_ = true;     // the maps differ from state_
  PulseServerState state_;
  Counters counters_;
};

}  // namespace micdetector
