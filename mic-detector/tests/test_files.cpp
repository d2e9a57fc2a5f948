// Plain POSIX calls, so that the helpers depend on nothing the code under test provides.
#include "test_files.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

namespace micdetector::testing {
namespace {

std::vector<char*> argv(const std::vector<std::string>& arguments) {
  std::vector<char*> pointers;
  for (const std::string& argument : arguments)
    pointers.push_back(const_cast<char*>(argument.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

int exitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "mic-detector-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void makeDirectories(const std::string& path) { std::filesystem::create_directories(path); }

void writeFile(const std::string& path, const std::string& contents) {
  makeDirectories(std::filesystem::path(path).parent_path().string());
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << contents;
  if (!file) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

FdCapture::FdCapture(int fd) : fd_(fd) {
  char name[] = "/tmp/mic-detector-capture-XXXXXX";
  file_ = ::mkstemp(name);
  if (file_ < 0) throw std::runtime_error("mkstemp failed");
  ::unlink(name);
  saved_ = ::dup(fd_);
  ::dup2(file_, fd_);
}

FdCapture::~FdCapture() { finish(); }

std::string FdCapture::finish() {
  if (finished_) return {};
  finished_ = true;
  ::dup2(saved_, fd_);
  ::close(saved_);
  std::string contents;
  char chunk[4096];
  ::lseek(file_, 0, SEEK_SET);
  for (ssize_t got; (got = ::read(file_, chunk, sizeof chunk)) > 0;) {
    contents.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(file_);
  return contents;
}

ProcessResult runProcess(const std::vector<std::string>& arguments,
                         const std::vector<std::string>* environment) {
  TempDir directory;
  const std::string outPath = directory.path() + "/out", errPath = directory.path() + "/err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT, 0600);
  auto pointers = argv(arguments);
  auto variables = environment != nullptr ? argv(*environment) : std::vector<char*>();
  pid_t pid = -1;
  const int failed = ::posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(),
                                   environment != nullptr ? variables.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + arguments[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return {exitStatus(status), readFile(outPath), readFile(errPath)};
}

std::vector<std::string> environmentWith(const std::vector<std::string>& changes) {
  std::vector<std::string> result;
  const auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    bool changed = false;
    for (const std::string& change : changes) changed |= nameOf(change) == nameOf(variable);
    if (!changed) result.push_back(variable);
  }
  for (const std::string& change : changes) {
    if (change.find('=') != std::string::npos) result.push_back(change);
  }
  return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const SpawnOptions& options) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!options.outputPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, options.outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
  }
  if (!options.errorPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, options.errorPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
  }
  auto pointers = argv(arguments);
  auto variables =
      options.environment != nullptr ? argv(*options.environment) : std::vector<char*>();
  const int failed = ::posix_spawn(&pid_, pointers[0], &actions, nullptr, pointers.data(),
                                   options.environment != nullptr ? variables.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + arguments[0]);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) stop(SIGKILL);
}

int ChildProcess::stop(int signal) {
  if (pid_ <= 0) return exitStatus_;
  ::kill(pid_, signal);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  exitStatus_ = exitStatus(status);
  return exitStatus_;
}

bool runningInCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && ci[0] != '\0';
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

}  // namespace micdetector::testing
