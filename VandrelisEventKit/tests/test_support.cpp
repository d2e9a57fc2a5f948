// Output capture redirects descriptors to unlinked temporary files, so no pipe can fill up.
#include "test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <sys/wait.h>

#include "command_frame.h"

extern char** environ;

namespace vandrelis::testing {
namespace {

int tempFile() {
  char name[] = "/tmp/vek-capture-XXXXXX";
  int fd = ::mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  ::unlink(name);
  return fd;
}

std::string readAll(int fd) {
  std::string data;
  ::lseek(fd, 0, SEEK_SET);
  char buffer[65536];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) data.append(buffer, static_cast<size_t>(n));
  return data;
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

OutputCapture::OutputCapture() {
  outFile_ = tempFile();
  errFile_ = tempFile();
  savedOut_ = ::dup(1);
  savedErr_ = ::dup(2);
  ::dup2(outFile_, 1);
  ::dup2(errFile_, 2);
}

RunResult OutputCapture::finish() {
  RunResult result;
  if (finished_) return result;
  finished_ = true;
  ::dup2(savedOut_, 1);
  ::dup2(savedErr_, 2);
  ::close(savedOut_);
  ::close(savedErr_);
  result.out = readAll(outFile_);
  result.err = readAll(errFile_);
  ::close(outFile_);
  ::close(errFile_);
  return result;
}

OutputCapture::~OutputCapture() { finish(); }

RunResult runInProcess(const std::vector<std::string>& arguments,
                       std::shared_ptr<store::CalendarStore> store) {
  OutputCapture capture;
  int status = runHelper(arguments, [&] { return store; });
  RunResult result = capture.finish();
  result.exitStatus = status;
  return result;
}

RunResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                     const std::map<std::string, std::string>& environment,
                     const std::string& input) {
  int outFd = tempFile(), errFd = tempFile();
  int inPipe[2];
  if (::pipe(inPipe) != 0) throw std::runtime_error("pipe failed");

  // The desktop's own calendars (EDS on the session bus) stay out unless a test brings a bus.
  std::map<std::string, std::string> additions = environment;
  additions.try_emplace("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    if (!additions.contains(name)) envStrings.push_back(entry);
  }
  for (const auto& [name, value] : additions) {
    if (!value.empty()) envStrings.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStrings = arguments;
  std::vector<char*> argv;
  for (auto& s : argStrings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  posix_spawn_file_actions_addclose(&actions, inPipe[1]);
  pid_t pid;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(inPipe[0]);
  if (rc != 0) throw std::runtime_error("posix_spawn failed: " + std::string(strerror(rc)));
  std::thread feeder([fd = inPipe[1], &input] {
    std::size_t done = 0;
    while (done < input.size()) {
      ssize_t n = ::write(fd, input.data() + done, input.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  });
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  feeder.join();
  RunResult result;
  result.exitStatus = decodeStatus(status);
  result.out = readAll(outFd);
  result.err = readAll(errFd);
  ::close(outFd);
  ::close(errFd);
  return result;
}

TempDir::TempDir(const std::string& parent) {
  std::string name = parent + "/vek-test-XXXXXX";
  if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

int openPipe(int fds[2], int flags) {
  if (::pipe(fds) != 0) return -1;
  for (int i = 0; i < 2; ++i) {
    if (((flags & O_CLOEXEC) != 0 && ::fcntl(fds[i], F_SETFD, FD_CLOEXEC) != 0) ||
        ((flags & O_NONBLOCK) != 0 &&
         ::fcntl(fds[i], F_SETFL, ::fcntl(fds[i], F_GETFL) | O_NONBLOCK) != 0)) {
      ::close(fds[0]);
      ::close(fds[1]);
      return -1;
    }
  }
  return 0;
}

}  // namespace vandrelis::testing
