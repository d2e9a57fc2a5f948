// Reader threads take each channel line by line as it arrives; tests wait on a condition
// variable instead of sleeping for fixed times.
#include "running_program.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <stdexcept>

#include <sys/wait.h>

extern char** environ;

namespace micdetector::testing {

RunningProgram::RunningProgram(const std::vector<std::string>& arguments) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  // The child starts with default signal handling and nothing blocked, whatever the test has.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<std::string> copies = arguments;
  std::vector<char*> argv;
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) throw std::runtime_error("posix_spawn failed");
  inFd_ = in[1];
  outReader_ = std::thread([this, fd = out[0]] { readChannel(fd, out_); });
  errReader_ = std::thread([this, fd = err[0]] { readChannel(fd, err_); });
}

RunningProgram::~RunningProgram() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    waitForExit(std::chrono::seconds(10));
  }
  if (inFd_ >= 0) ::close(inFd_);
  outReader_.join();
  errReader_.join();
}

void RunningProgram::signal(int signalNumber) const { ::kill(pid_, signalNumber); }

void RunningProgram::writeInput(const std::string& bytes) const {
  (void)!::write(inFd_, bytes.data(), bytes.size());
}

void RunningProgram::readChannel(int fd, Channel& channel) {
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    if (n <= 0) {
      channel.closed = true;
      changed_.notify_all();
      break;
    }
    channel.partial.append(buffer, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = channel.partial.find('\n')) != std::string::npos) {
      channel.lines.push_back({now, channel.partial.substr(0, newline)});
      channel.partial.erase(0, newline + 1);
    }
    changed_.notify_all();
  }
  ::close(fd);
}

bool RunningProgram::waitForLines(Channel& channel, std::size_t n,
                                  std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return channel.lines.size() >= n || channel.closed;
  }) && channel.lines.size() >= n;
}

bool RunningProgram::waitForOutLines(std::size_t n, std::chrono::milliseconds timeout) {
  return waitForLines(out_, n, timeout);
}

bool RunningProgram::waitForErrLines(std::size_t n, std::chrono::milliseconds timeout) {
  return waitForLines(err_, n, timeout);
}

int RunningProgram::waitForExit(std::chrono::milliseconds timeout) {
  if (reaped_) return exitStatus_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      // Let the readers see the end of both pipes.
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, std::chrono::seconds(5), [&] { return out_.closed && err_.closed; });
      return exitStatus_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::vector<TimedLine> RunningProgram::outLines() {
  std::lock_guard lock(mutex_);
  return out_.lines;
}

std::vector<TimedLine> RunningProgram::errLines() {
  std::lock_guard lock(mutex_);
  return err_.lines;
}

std::string RunningProgram::outTail() {
  std::lock_guard lock(mutex_);
  return out_.partial;
}

}  // namespace micdetector::testing
