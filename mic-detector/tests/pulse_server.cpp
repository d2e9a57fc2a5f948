// Runs pulseaudio without its default script, so it loads only the modules named here, serves
// only the socket in its temporary runtime directory, and registers on no bus. PipeWire runs
// with its packaged configuration, on a session bus of its own.
#include "pulse_server.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace micdetector::testing {
namespace {

constexpr const char* kPulseAudio = "/usr/bin/pulseaudio";
constexpr const char* kParecord = "/usr/bin/parecord";
constexpr const char* kPactl = "/usr/bin/pactl";
constexpr const char* kPwRecord = "/usr/bin/pw-record";
constexpr const char* kPipeWirePrograms[] = {"/usr/bin/dbus-daemon", "/usr/bin/pipewire",
                                             "/usr/bin/wireplumber", "/usr/bin/pipewire-pulse",
                                             kPwRecord};
constexpr auto kPatience = std::chrono::seconds(5);

bool canConnect(const std::string& socketPath) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
  const bool connected =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

}  // namespace

std::string serverName(SoundServer kind) {
  return kind == SoundServer::pipeWire ? "PipeWire" : "PulseAudio";
}

std::optional<std::string> pulseServerMissing(SoundServer kind) {
  for (const char* program : {kPulseAudio, kParecord, kPactl}) {
    if (::access(program, X_OK) != 0) {
      return std::string(program) + " is not installed (Debian: pulseaudio, pulseaudio-utils)";
    }
  }
  if (kind == SoundServer::pipeWire) {
    for (const char* program : kPipeWirePrograms) {
      if (::access(program, X_OK) != 0) {
        return std::string(program) +
               " is not installed (Debian: pipewire pipewire-bin pipewire-pulse wireplumber dbus)";
      }
    }
  }
  return std::nullopt;
}

PulseServer::PulseServer(SoundServer kind) : kind_(kind) {
  const std::string& root = directory_.path();
  for (const char* sub : {"/runtime", "/home", "/config"}) {
    makeDirectories(root + sub);
    ::chmod((root + sub).c_str(), 0700);
  }
  writeFile(root + "/client.conf", "autospawn = no\n");
  writeFile(root + "/server.pa",
            "load-module module-null-source source_name=mic description=Microphone\n"
            "load-module module-null-sink sink_name=speakers\n"
            "load-module module-native-protocol-unix auth-anonymous=1\n");
  const std::string bus = root + (kind == SoundServer::pipeWire ? "/bus" : "/no-bus");
  environment_ = environmentWith(
      {"XDG_RUNTIME_DIR=" + root + "/runtime", "HOME=" + root + "/home",
       "XDG_CONFIG_HOME=" + root + "/config", "PULSE_CLIENTCONFIG=" + root + "/client.conf",
       "DBUS_SESSION_BUS_ADDRESS=unix:path=" + bus, "DISPLAY", "WAYLAND_DISPLAY", "PULSE_SERVER",
       "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH", "PULSE_CONFIG_PATH", "PULSE_COOKIE", "PULSE_PROP",
       "PULSE_SOURCE", "PULSE_SINK", "PIPEWIRE_REMOTE", "PIPEWIRE_PROPS", "PIPEWIRE_RUNTIME_DIR"});
  if (kind == SoundServer::pipeWire) {
    const std::string log = root + "/session.log";
    const SpawnOptions options{&environment_, log, log};
    session_.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--address=unix:path=" + bus,
                                 "--nofork", "--nopidfile"},
        options));
    waitUntil([](const PulseServer& server) { return canConnect(server.directory() + "/bus"); },
              "the session bus", log);
    session_.push_back(
        std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/bin/pipewire"}, options));
    waitUntil(
        [](const PulseServer& server) {
          return canConnect(server.directory() + "/runtime/pipewire-0");
        },
        "pipewire", log);
    session_.push_back(
        std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/bin/wireplumber"}, options));
  }
  start();
}

void PulseServer::waitUntil(bool (*ready)(const PulseServer&), const char* what,
                            const std::string& log) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!ready(*this)) {
    if (std::chrono::steady_clock::now() > deadline) {
      stop();
      session_.clear();
      throw std::runtime_error(std::string(what) + " did not start: " + readFile(log));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

PulseServer::~PulseServer() {
  stop();
  // Clients before the server they talk to, the bus last.
  while (!session_.empty()) {
    session_.back()->stop(SIGTERM);
    session_.pop_back();
  }
}

std::string PulseServer::socketPath() const { return directory_.path() + "/runtime/pulse/native"; }

std::string PulseServer::address() const { return "unix:" + socketPath(); }

void PulseServer::start() {
  if (server_) return;
  const std::string log = directory_.path() + "/server.log";
  if (kind_ == SoundServer::pipeWire) {
    server_ = std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/bin/pipewire-pulse"},
                                             SpawnOptions{&environment_, log, log});
  } else {
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{kPulseAudio, "-n", "--daemonize=no", "--system=false",
                                 "--exit-idle-time=-1", "--use-pid-file=no", "--log-target=stderr",
                                 "--log-level=error", "-F", directory_.path() + "/server.pa"},
        SpawnOptions{&environment_, log, log});
  }
  waitUntil([](const PulseServer& server) { return canConnect(server.socketPath()); },
            "the private sound server", log);
  if (kind_ == SoundServer::pipeWire) {
    // pipewire-pulse's modules live as long as it does: loaded again on every start.
    pactl({"load-module", "module-null-sink", "media.class=Audio/Source/Virtual", "sink_name=mic",
           "sink_properties=device.description=Microphone"});
    pactl({"load-module", "module-null-sink", "sink_name=speakers"});
    waitUntil(
        [](const PulseServer& server) {
          const std::string sources = server.pactl({"list", "short", "sources"});
          return sources.find("\tmic\t") != std::string::npos &&
                 sources.find("\tspeakers.monitor\t") != std::string::npos;
        },
        "the virtual microphone", log);
  }
}

void PulseServer::stop() {
  if (!server_) return;
  freeze(false);  // a frozen server would never see the SIGTERM
  server_->stop(SIGTERM);
  server_.reset();
}

void PulseServer::freeze(bool frozen) {
  if (server_) ::kill(server_->pid(), frozen ? SIGSTOP : SIGCONT);
}

std::unique_ptr<ChildProcess> PulseServer::record(const std::string& device,
                                                  const std::string& properties,
                                                  const std::string& program) {
  std::vector<std::string> merged = environment_;
  if (!properties.empty()) merged.push_back("PULSE_PROP=" + properties);
  return std::make_unique<ChildProcess>(
      std::vector<std::string>{program, "--record", "--raw", "--device=" + device, "--rate=8000",
                               "--channels=1", "--format=s16le"},
      SpawnOptions{&merged, "/dev/null", directory_.path() + "/recorders.log"});
}

std::unique_ptr<ChildProcess> PulseServer::recordNatively(const std::string& device,
                                                          const std::string& applicationId) {
  return std::make_unique<ChildProcess>(
      std::vector<std::string>{kPwRecord, "--target", device, "--rate", "8000", "--channels", "1",
                               "--properties", "{ application.id = " + applicationId + " }",
                               "/dev/null"},
      SpawnOptions{&environment_, "/dev/null", directory_.path() + "/recorders.log"});
}

std::string PulseServer::pactl(const std::vector<std::string>& arguments) const {
  std::vector<std::string> command{kPactl};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return runProcess(command, &environment_).out;
}

std::multiset<std::string> PulseServer::recordingProcessIds() const {
  std::multiset<std::string> ids;
  // pactl gives up on a listing when a stream goes away while it reads: it is asked again.
  ProcessResult result;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  do {
    result = runProcess({kPactl, "list", "source-outputs"}, &environment_);
  } while (result.exitStatus != 0 && std::chrono::steady_clock::now() < deadline);
  std::istringstream listing(result.out);
  const std::string key = "application.process.id = \"";
  for (std::string line; std::getline(listing, line);) {
    const std::size_t at = line.find(key);
    if (at == std::string::npos) continue;
    const std::size_t begin = at + key.size();
    ids.insert(line.substr(begin, line.find('"', begin) - begin));
  }
  return ids;
}

void PulseServer::waitForSourceOutputs(std::size_t count) const {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  for (;;) {
    const std::string listing = pactl({"list", "short", "source-outputs"});
    std::size_t lines = 0;
    for (char c : listing) lines += c == '\n' ? 1 : 0;
    if (lines == count) return;
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("expected " + std::to_string(count) +
                               " recording streams, the server has:\n" + listing);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

struct InProcessStream::Client {
  pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  bool started = false;

  ~Client() {
    if (started) pa_threaded_mainloop_lock(loop);
    if (stream != nullptr) {
      pa_stream_disconnect(stream);
      pa_stream_unref(stream);
    }
    if (context != nullptr) {
      pa_context_disconnect(context);
      pa_context_unref(context);
    }
    if (started) {
      pa_threaded_mainloop_unlock(loop);
      pa_threaded_mainloop_stop(loop);
    }
    pa_threaded_mainloop_free(loop);
  }
};

namespace {

void signalContext(pa_context*, void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

void signalStream(pa_stream*, void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

void dropSamples(pa_stream* stream, std::size_t, void*) {
  const void* data = nullptr;
  std::size_t size = 0;
  while (pa_stream_peek(stream, &data, &size) == 0 && size > 0) pa_stream_drop(stream);
}

}  // namespace

InProcessStream::InProcessStream(const std::string& address, const std::string& applicationId,
                                 Kind kind)
    : client_(std::make_unique<Client>()) {
  Client& client = *client_;
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, applicationId.c_str());
  client.context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(client.loop),
                                                "in-process test stream", properties);
  pa_proplist_free(properties);
  pa_context_set_state_callback(client.context, signalContext, client.loop);
  pa_threaded_mainloop_lock(client.loop);
  client.started = pa_threaded_mainloop_start(client.loop) == 0;
  bool ready = client.started && pa_context_connect(client.context, address.c_str(),
                                                    PA_CONTEXT_NOAUTOSPAWN, nullptr) == 0;
  while (ready && pa_context_get_state(client.context) != PA_CONTEXT_READY) {
    ready = PA_CONTEXT_IS_GOOD(pa_context_get_state(client.context));
    if (ready) pa_threaded_mainloop_wait(client.loop);
  }
  if (ready) {
    // Peaks in the format level meters ask for: PipeWire 0.3.65's peak resampler crashes
    // pipewire-pulse on 16-bit samples.
    const pa_sample_spec sampleFormat = kind == Kind::peakDetect
                                            ? pa_sample_spec{PA_SAMPLE_FLOAT32LE, 25, 1}
                                            : pa_sample_spec{PA_SAMPLE_S16LE, 8000, 1};
    client.stream = pa_stream_new(client.context, "in-process test stream", &sampleFormat, nullptr);
    pa_stream_set_state_callback(client.stream, signalStream, client.loop);
    pa_stream_set_read_callback(client.stream, dropSamples, nullptr);
    const auto flags = kind == Kind::corked       ? PA_STREAM_START_CORKED
                       : kind == Kind::peakDetect ? PA_STREAM_PEAK_DETECT
                                                  : PA_STREAM_NOFLAGS;
    const char* device = kind == Kind::monitor ? "speakers.monitor" : "mic";
    ready = pa_stream_connect_record(client.stream, device, nullptr, flags) == 0;
  }
  while (ready && pa_stream_get_state(client.stream) != PA_STREAM_READY) {
    ready = PA_STREAM_IS_GOOD(pa_stream_get_state(client.stream));
    if (ready) pa_threaded_mainloop_wait(client.loop);
  }
  pa_threaded_mainloop_unlock(client.loop);
  if (!ready) {
    throw std::runtime_error("the in-process test stream " + applicationId + " did not start: " +
                             pa_strerror(pa_context_errno(client.context)));
  }
}

InProcessStream::~InProcessStream() = default;

}  // namespace micdetector::testing
