// Drives libpulse's plain main loop on the caller's thread, so every read is synchronous and has
// a deadline: a hung server delays a poll, it never stops the detector. Between two calls
// nothing runs; the server's change events wait in the socket and are taken in by the next call.
#include "platform/linux/pulse_connection.h"

#include <algorithm>
#include <array>
#include <string_view>

#include <pulse/context.h>
#include <pulse/def.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/proplist.h>
#include <pulse/subscribe.h>

namespace micdetector {
namespace {

using Clock = std::chrono::steady_clock;

std::optional<std::string> property(const pa_proplist* list, const char* key) {
  const char* value = pa_proplist_gets(list, key);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

PulseServerState::SourceOutput sourceOutput(const pa_source_output_info& info) {
  // PulseAudio names the resampler of a peak-detecting stream "peaks"; PipeWire reports its own
  // resampler for every stream and marks the peak detection as a stream property.
  const bool peaks =
      (info.resample_method != nullptr && std::string_view(info.resample_method) == "peaks") ||
      property(info.proplist, "resample.peaks") == "true";
  return {info.index,
          info.client,
          info.source,
          info.corked != 0,
          peaks,
          property(info.proplist, PA_PROP_APPLICATION_ID),
          property(info.proplist, "pipewire.access.portal.app_id"),
          property(info.proplist, PA_PROP_APPLICATION_PROCESS_ID)};
}

PulseServerState::Source source(const pa_source_info& info) {
  PulseServerState::Source source;
  source.index = info.index;
  source.name = info.name != nullptr ? info.name : "";
  if (info.description != nullptr) source.description = info.description;
  source.isMonitor = info.monitor_of_sink != PA_INVALID_INDEX;
  return source;
}

PulseServerState::Client client(const pa_client_info& info) {
  return {info.index,
          property(info.proplist, PA_PROP_APPLICATION_ID),
          property(info.proplist, "pipewire.access.portal.app_id"),
          property(info.proplist, PA_PROP_APPLICATION_PROCESS_ID),
          property(info.proplist, "pipewire.sec.pid"),
          property(info.proplist, "client.api")};
}

template <typename Value>
std::vector<Value> values(const std::map<std::uint32_t, Value>& objects) {
  std::vector<Value> list;
  list.reserve(objects.size());
  for (const auto& [index, value] : objects) list.push_back(value);
  return list;
}

}  // namespace

struct PulseConnection::Callbacks {
  static void onEvent(pa_context*, pa_subscription_event_type_t event, std::uint32_t index,
                      void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    const bool removed = (event & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
    switch (event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
      case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
        self->changed(Kind::sourceOutput, index, removed);
        break;
      case PA_SUBSCRIPTION_EVENT_SOURCE:
        self->changed(Kind::source, index, removed);
        break;
      case PA_SUBSCRIPTION_EVENT_CLIENT:
        self->changed(Kind::client, index, removed);
        break;
      default:
        break;
    }
  }

  static void onListedSourceOutput(pa_context*, const pa_source_output_info* info, int eol,
                                   void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    if (eol != 0) return self->answered(eol);
    self->sourceOutputs_.insert_or_assign(info->index, sourceOutput(*info));
  }

  static void onListedSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    if (eol != 0) return self->answered(eol);
    self->sources_.insert_or_assign(info->index, source(*info));
  }

  static void onListedClient(pa_context*, const pa_client_info* info, int eol, void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    if (eol != 0) return self->answered(eol);
    self->clients_.insert_or_assign(info->index, client(*info));
  }

  static void onFetchedSourceOutput(pa_context*, const pa_source_output_info* info, int eol,
                                    void* userdata) {
    auto* fetch = static_cast<Fetch*>(userdata);
    if (eol != 0) return fetch->connection->fetched(fetch, eol);
    fetch->connection->sourceOutputs_.insert_or_assign(info->index, sourceOutput(*info));
    fetch->connection->dirty_ = true;
  }

  static void onFetchedSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* fetch = static_cast<Fetch*>(userdata);
    if (eol != 0) return fetch->connection->fetched(fetch, eol);
    fetch->connection->sources_.insert_or_assign(info->index, source(*info));
    fetch->connection->dirty_ = true;
  }

  static void onFetchedClient(pa_context*, const pa_client_info* info, int eol, void* userdata) {
    auto* fetch = static_cast<Fetch*>(userdata);
    if (eol != 0) return fetch->connection->fetched(fetch, eol);
    fetch->connection->clients_.insert_or_assign(info->index, client(*info));
    fetch->connection->dirty_ = true;
  }

  static void onServerInfo(pa_context*, const pa_server_info*, void* userdata) {
    static_cast<PulseConnection*>(userdata)->answered(1);
  }

  static void onSubscribed(pa_context*, int success, void* userdata) {
    static_cast<PulseConnection*>(userdata)->answered(success ? 1 : -1);
  }
};

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
  pa_context_set_subscribe_callback(context_, Callbacks::onEvent, this);
  return true;
}

void PulseConnection::disconnect() {
  if (context_ == nullptr) return;
  // Cancels every request still waiting, so no answer comes for a fetch forgotten below.
  pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
  fetches_.clear();
  stale_.clear();
  pending_ = 0;
  refused_ = false;
}

void PulseConnection::answered(int eol) {
  if (eol < 0) refused_ = true;
  --pending_;
}

void PulseConnection::forget(Kind kind, std::uint32_t index) {
  switch (kind) {
    case Kind::sourceOutput:
      dirty_ |= sourceOutputs_.erase(index) > 0;
      break;
    case Kind::source:
      dirty_ |= sources_.erase(index) > 0;
      break;
    case Kind::client:
      dirty_ |= clients_.erase(index) > 0;
      break;
  }
}

void PulseConnection::changed(Kind kind, std::uint32_t index, bool removed) {
  if (removed) {
    stale_.erase({kind, index});
    forget(kind, index);
  } else {
    stale_.insert({kind, index});
  }
}

void PulseConnection::fetched(Fetch* fetch, int eol) {
  // An object that went away before the server read it: its removal event came first, or
  // comes with the next round.
  if (eol < 0 && pa_context_errno(context_) == PA_ERR_NOENTITY) {
    forget(fetch->kind, fetch->index);
    eol = 1;
  }
  answered(eol);
  fetches_.remove_if([fetch](const Fetch& one) { return &one == fetch; });
}

PulseConnection::Outcome PulseConnection::readEverything(Deadline deadline) {
  ++counters_.fullReads;
  sourceOutputs_.clear();
  sources_.clear();
  clients_.clear();
  dirty_ = true;
  // Subscribed before the lists are asked for: a change the lists miss is announced after them.
  const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT |
                                                        PA_SUBSCRIPTION_MASK_SOURCE |
                                                        PA_SUBSCRIPTION_MASK_CLIENT);
  const std::array<pa_operation*, 4> operations{
      pa_context_subscribe(context_, mask, Callbacks::onSubscribed, this),
      pa_context_get_source_output_info_list(context_, Callbacks::onListedSourceOutput, this),
      pa_context_get_source_info_list(context_, Callbacks::onListedSource, this),
      pa_context_get_client_info_list(context_, Callbacks::onListedClient, this)};
  for (pa_operation* operation : operations) {
    if (operation == nullptr) continue;
    ++pending_;
    pa_operation_unref(operation);
  }
  if (std::ranges::find(operations, nullptr) != operations.end()) return Outcome::connectionLost;
  return runUntil([this] { return pending_ == 0; }, deadline);
}

PulseConnection::Outcome PulseConnection::catchUp(Deadline deadline) {
  // The answer to this question comes after every event the server sent before it, so once it
  // is here the picture is as recent as a full read made now.
  pa_operation* roundTrip = pa_context_get_server_info(context_, Callbacks::onServerInfo, this);
  if (roundTrip == nullptr) return Outcome::connectionLost;
  ++pending_;
  pa_operation_unref(roundTrip);
  Outcome outcome = runUntil([this] { return pending_ == 0; }, deadline);
  // Objects announced as changed are read again; their answers may bring further events.
  while (outcome == Outcome::answered && !stale_.empty()) {
    for (const auto& [kind, index] : std::exchange(stale_, {})) {
      Fetch& fetch = fetches_.emplace_back(Fetch{this, kind, index});
      pa_operation* operation = nullptr;
      switch (kind) {
        case Kind::sourceOutput:
          operation = pa_context_get_source_output_info(context_, index,
                                                        Callbacks::onFetchedSourceOutput, &fetch);
          break;
        case Kind::source:
          operation = pa_context_get_source_info_by_index(context_, index,
                                                          Callbacks::onFetchedSource, &fetch);
          break;
        case Kind::client:
          operation =
              pa_context_get_client_info(context_, index, Callbacks::onFetchedClient, &fetch);
          break;
      }
      if (operation == nullptr) return Outcome::connectionLost;
      ++counters_.objectReads;
      ++pending_;
      pa_operation_unref(operation);
    }
    outcome = runUntil([this] { return pending_ == 0; }, deadline);
  }
  return outcome;
}

PulseConnection::Outcome PulseConnection::refresh(Deadline deadline) {
  const bool kept = context_ != nullptr;
  if (!kept && !connect(deadline)) return Outcome::connectionLost;
  Outcome outcome = kept ? catchUp(deadline) : readEverything(deadline);
  if (outcome == Outcome::answered && !kept) outcome = catchUp(deadline);
  if (outcome == Outcome::answered && refused_) outcome = Outcome::connectionLost;
  return outcome;
}

const PulseServerState* PulseConnection::readState() {
  if (loop_ == nullptr) return nullptr;
  const Deadline deadline = Clock::now() + timeout_;
  // What arrived since the last call (events, or the server hanging up) is taken in together
  // with the answer to the round trip that catches up: no main loop pass of its own first.
  if (context_ != nullptr && pa_context_get_state(context_) != PA_CONTEXT_READY) disconnect();
  const bool kept = context_ != nullptr;
  Outcome outcome = refresh(deadline);
  // A kept connection may have died unnoticed (the server restarted): one fresh try, which
  // reads everything again.
  if (outcome == Outcome::connectionLost && kept) {
    disconnect();
    outcome = refresh(deadline);
  }
  if (outcome != Outcome::answered) {
    // What was kept may have missed changes: the next connection reads everything again.
    disconnect();
    return nullptr;
  }
  if (dirty_) {
    state_.sourceOutputs = values(sourceOutputs_);
    state_.sources = values(sources_);
    state_.clients = values(clients_);
    ++state_.version;
    dirty_ = false;
  }
  return &state_;
}

}  // namespace micdetector
