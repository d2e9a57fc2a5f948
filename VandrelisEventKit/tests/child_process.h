// A child process for process-level tests: standard input and output on pipes (or output to a
// given file), standard error kept in a temporary file, output read line by line.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

extern char** environ;

namespace vandrelis::testing {

// A child process with its standard input and output on pipes, read line by line.
class Child {
 public:
  // With `output` given, standard output goes there instead of to a pipe.
  Child(const std::string& program, std::vector<std::string> arguments,
        const std::map<std::string, std::string>& environment = {}, int output = -1) {
    int in[2], out[2];
    if (testing::openPipe(in, O_CLOEXEC) != 0 || testing::openPipe(out, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      if (!environment.contains(entry.substr(0, entry.find('=')))) envStrings.push_back(entry);
    }
    for (const auto& [name, value] : environment) envStrings.push_back(name + "=" + value);
    std::vector<char*> envp, argv;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    arguments.insert(arguments.begin(), program);
    for (auto& s : arguments) argv.push_back(s.data());
    argv.push_back(nullptr);

    char errName[] = "/tmp/vek-watch-err-XXXXXX";
    errFile_ = ::mkostemp(errName, O_CLOEXEC);
    ::unlink(errName);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output >= 0 ? output : out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errFile_, 2);
    int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
    if (rc != 0) throw std::runtime_error("posix_spawn failed");
  }

  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait();
    }
    ::close(input_);
    ::close(output_);
    ::close(errFile_);
  }

  void send(std::string_view text) {
    ASSERT_EQ(::write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // The next line with its newline, or what came before end of file or the time limit.
  std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
      std::size_t newline = buffered_.find('\n');
      if (newline != std::string::npos) {
        std::string line = buffered_.substr(0, newline + 1);
        buffered_.erase(0, newline + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !fill(static_cast<int>(left.count()))) {
        return std::exchange(buffered_, std::string());
      }
    }
  }

  // Everything still to come on standard output, up to end of file.
  std::string readRest() {
    while (fill(20000)) {
    }
    return std::exchange(buffered_, std::string());
  }

  // True while the process has not ended.
  bool running() {
    if (pid_ <= 0) return false;
    int status;
    if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
    pid_ = -1;
    lastStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }

  int terminate() {
    ::kill(pid_, SIGTERM);
    return wait();
  }

  // Closes this end of the pipe on the child's standard output: its reader is gone.
  void closeOutput() { ::close(std::exchange(output_, -1)); }

  // The exit status once the process has ended within the limit, or none while it runs.
  std::optional<int> waitFor(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (running()) {
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return lastStatus_;
  }

  // Exit status, or 128 + signal number.
  int wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string errors() {
    std::string data;
    char buffer[4096];
    ssize_t n;
    ::lseek(errFile_, 0, SEEK_SET);
    while ((n = ::read(errFile_, buffer, sizeof buffer)) > 0) data.append(buffer, n);
    return data;
  }

  pid_t pid() const { return pid_; }

 private:
  // Reads what is available within the limit; false at end of file or time out.
  bool fill(int limitMs) {
    if (output_ < 0) return false;
    pollfd fd{output_, POLLIN, 0};
    if (::poll(&fd, 1, limitMs) <= 0) return false;
    char buffer[4096];
    ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n <= 0) return false;
    buffered_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int lastStatus_ = -1;
  int input_ = -1, output_ = -1, errFile_ = -1;
  std::string buffered_;
};

}  // namespace vandrelis::testing
