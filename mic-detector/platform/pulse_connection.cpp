// Drives libpulse's plain main loop on the caller's thread, so a picture is taken synchronously
// and with a deadline: a hung server delays a poll, it never stops the detector.
#include "pulse_connection.h"

#include <algorithm>
#include <array>
#include <string_view>

#include <pulse/context.h>
#include <pulse/def.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/proplist.h>

namespace micdetector {
namespace {

using Clock = std::chrono::steady_clock;

// The three list requests of one picture; each answers once with its end (or an error).
struct Round {
  PulseServerState& state;
  int pending = 3;
  bool refused = false;
};

bool finished(Round& round, int eol) {
  if (eol == 0) return false;
  if (eol < 0) round.refused = true;
  --round.pending;
  return true;
}

std::optional<std::string> property(const pa_proplist* list, const char* key) {
  const char* value = pa_proplist_gets(list, key);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void onSourceOutput(pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
  auto& round = *static_cast<Round*>(userdata);
  if (finished(round, eol)) return;
  const bool peaks =
      info->resample_method != nullptr && std::string_view(info->resample_method) == "peaks";
  round.state.sourceOutputs.push_back(
      {info->index, info->client, info->source, info->corked != 0, peaks});
}

void onSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto& round = *static_cast<Round*>(userdata);
  if (finished(round, eol)) return;
  PulseServerState::Source source;
  source.index = info->index;
  source.name = info->name != nullptr ? info->name : "";
  if (info->description != nullptr) source.description = info->description;
  source.isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
  round.state.sources.push_back(std::move(source));
}

void onClient(pa_context*, const pa_client_info* info, int eol, void* userdata) {
  auto& round = *static_cast<Round*>(userdata);
  if (finished(round, eol)) return;
  round.state.clients.push_back({info->index, property(info->proplist, PA_PROP_APPLICATION_ID),
                                 property(info->proplist, "pipewire.access.portal.app_id"),
                                 property(info->proplist, PA_PROP_APPLICATION_PROCESS_ID),
                                 property(info->proplist, "pipewire.sec.pid")});
}

}  // namespace

PulseConnection::PulseConnection(std::optional<std::string> server,
                                 std::chrono::milliseconds timeout)
    : server_(std::move(server)), timeout_(timeout), loop_(pa_mainloop_new()) {}

PulseConnection::~PulseConnection() {
  disconnect();
  if (loop_ != nullptr) pa_mainloop_free(loop_);
}

template <typename Done>
PulseConnection::Outcome PulseConnection::runUntil(Done done, Deadline deadline) {
  for (;;) {
    if (done()) return Outcome::answered;
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) return Outcome::connectionLost;
    const auto remaining =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (remaining <= 0) return Outcome::timedOut;
    if (pa_mainloop_prepare(loop_, static_cast<int>(remaining)) < 0 ||
        pa_mainloop_poll(loop_) < 0 || pa_mainloop_dispatch(loop_) < 0) {
      return Outcome::connectionLost;
    }
  }
}

bool PulseConnection::connect(Deadline deadline) {
  context_ = pa_context_new(pa_mainloop_get_api(loop_), "vandrelis-mic-detector");
  if (context_ == nullptr) return false;
  if (pa_context_connect(context_, server_ ? server_->c_str() : nullptr, PA_CONTEXT_NOAUTOSPAWN,
                         nullptr) < 0 ||
      runUntil([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY; }, deadline) !=
          Outcome::answered) {
    disconnect();
    return false;
  }
  return true;
}

void PulseConnection::disconnect() {
  if (context_ == nullptr) return;
  // Cancels every request still waiting, so no answer reaches a finished round.
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
}

PulseConnection::Outcome PulseConnection::query(PulseServerState& state, Deadline deadline) {
  Round round{state};
  // Streams first: a client or source they name that is missing from the later lists has gone
  // in between, and is then rightly left out.
  const std::array<pa_operation*, 3> operations{
      pa_context_get_source_output_info_list(context_, onSourceOutput, &round),
      pa_context_get_source_info_list(context_, onSource, &round),
      pa_context_get_client_info_list(context_, onClient, &round)};
  Outcome outcome = Outcome::connectionLost;
  if (std::ranges::find(operations, nullptr) == operations.end()) {
    outcome = runUntil([&round] { return round.pending == 0; }, deadline);
  }
  for (pa_operation* operation : operations) {
    if (operation == nullptr) continue;
    if (outcome != Outcome::answered) pa_operation_cancel(operation);
    pa_operation_unref(operation);
  }
  if (outcome == Outcome::answered && round.refused) return Outcome::connectionLost;
  return outcome;
}

std::optional<PulseServerState> PulseConnection::readState() {
  if (loop_ == nullptr) return std::nullopt;
  const Deadline deadline = Clock::now() + timeout_;
  if (context_ != nullptr) {
    // Takes in what arrived since the last picture, such as the server hanging up.
    pa_mainloop_iterate(loop_, 0, nullptr);
    if (pa_context_get_state(context_) != PA_CONTEXT_READY) disconnect();
  }
  const bool kept = context_ != nullptr;
  if (!kept && !connect(deadline)) return std::nullopt;
  PulseServerState state;
  Outcome outcome = query(state, deadline);
  // A kept connection may have died unnoticed (the server restarted): one fresh try.
  if (outcome == Outcome::connectionLost && kept) {
    disconnect();
    state = {};
    if (!connect(deadline)) return std::nullopt;
    outcome = query(state, deadline);
  }
  if (outcome != Outcome::answered) {
    disconnect();
    return std::nullopt;
  }
  return state;
}

}  // namespace micdetector
