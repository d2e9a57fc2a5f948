// Holds many recording streams open on a PulseAudio-protocol server from one process, ten on
// each connection (PulseAudio takes at most 64 connections, pipewire-pulse fails some streams
// when one connection has hundreds), for the detector's CPU benchmark:
// usage: pulse_stream_load COUNT DEVICE.
// Prints "ready" once every stream records, then runs until it is killed; fails with a message
// when a stream or a connection cannot be set up even after retries.
//
// Connections are made one after the other: a busy server refuses some of many connections
// attempted at once (its listening socket's backlog fills up), and a refused connection would
// otherwise leave its streams neither ready nor failed.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/mainloop.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>

namespace {

constexpr int kStreamsPerConnection = 10;

constexpr int kRetries = 1000;

struct Load {
  pa_mainloop* loop = pa_mainloop_new();
  std::string device;
  int connectionsToMake = 0;
  int ready = 0;
  int failed = 0;
  int retries = 0;
  std::string lastError;
};

void connectNext(Load& load);

void openStream(pa_context* context, Load& load);

void dropSamples(pa_stream* stream, std::size_t, void*) {
  const void* data = nullptr;
  std::size_t size = 0;
  while (pa_stream_peek(stream, &data, &size) == 0 && size > 0) pa_stream_drop(stream);
}

void onStream(pa_stream* stream, void* userdata) {
  auto& load = *static_cast<Load*>(userdata);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) ++load.ready;
  if (state != PA_STREAM_FAILED) return;
  // pipewire-pulse fails some of many streams set up at once: they are opened again.
  pa_context* context = pa_stream_get_context(stream);
  load.lastError = pa_strerror(pa_context_errno(context));
  if (++load.retries <= kRetries && pa_context_get_state(context) == PA_CONTEXT_READY) {
    openStream(context, load);
  } else {
    ++load.failed;
  }
}

void openStream(pa_context* context, Load& load) {
  const pa_sample_spec format{PA_SAMPLE_S16LE, 8000, 1};
  pa_stream* stream = pa_stream_new(context, "load", &format, nullptr);
  pa_stream_set_state_callback(stream, onStream, &load);
  pa_stream_set_read_callback(stream, dropSamples, nullptr);
  pa_stream_connect_record(stream, load.device.c_str(), nullptr, PA_STREAM_NOFLAGS);
}

void onContext(pa_context* context, void* userdata) {
  auto& load = *static_cast<Load*>(userdata);
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_FAILED) {
    load.lastError = pa_strerror(pa_context_errno(context));
    // The connection is made again; given up, its streams count as failed.
    ++load.connectionsToMake;
    if (++load.retries > kRetries) {
      load.failed += kStreamsPerConnection;
      --load.connectionsToMake;
    }
    connectNext(load);
    return;
  }
  if (state != PA_CONTEXT_READY) return;
  for (int i = 0; i < kStreamsPerConnection; ++i) openStream(context, load);
  connectNext(load);
}

void connectNext(Load& load) {
  if (load.connectionsToMake == 0) return;
  --load.connectionsToMake;
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "org.example.Load");
  pa_context* context =
      pa_context_new_with_proplist(pa_mainloop_get_api(load.loop), "load", properties);
  pa_proplist_free(properties);
  pa_context_set_state_callback(context, onContext, &load);
  // A connection that fails, at once or later, is reported through onContext.
  (void)pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s COUNT DEVICE\n", argv[0]);
    return 2;
  }
  const int count = std::atoi(argv[1]);
  Load load;
  load.device = argv[2];
  if (count <= 0 || count % kStreamsPerConnection != 0) {
    std::fprintf(stderr, "COUNT must be a multiple of %d\n", kStreamsPerConnection);
    return 2;
  }
  load.connectionsToMake = count / kStreamsPerConnection;
  connectNext(load);
  while (load.ready + load.failed < count) {
    if (pa_mainloop_iterate(load.loop, 1, nullptr) < 0) return 1;
  }
  if (load.failed > 0) {
    std::fprintf(stderr, "%d of %d streams failed (%d retries; last error: %s)\n", load.failed,
                 count, load.retries, load.lastError.c_str());
    return 1;
  }
  if (load.retries > 0) {
    std::fprintf(stderr, "%d retries (last error: %s)\n", load.retries, load.lastError.c_str());
  }
  std::printf("ready\n");
  std::fflush(stdout);
  int result = 0;
  pa_mainloop_run(load.loop, &result);
  return result;
}
