// Runs a program as a child process for the tests, its stdout and stderr captured in memory
// files. The child inherits this process's environment.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "tests/hub/test_support.h"

namespace pelmo::testing {

class ChildProcess {
 public:
  // cwd: the child's working directory; empty keeps this process's. stdout_fd: the child's
  // stdout instead of the captured one (Out() is then empty), or -1.
  explicit ChildProcess(const std::vector<std::string>& argv, const std::string& cwd = {},
                        int stdout_fd = -1)
      : out_fd_(::memfd_create("stdout", MFD_CLOEXEC)),
        err_fd_(::memfd_create("stderr", MFD_CLOEXEC)) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdout_fd >= 0 ? stdout_fd : out_fd_, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_fd_, STDERR_FILENO);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ChildProcess() {
    if (pid_ > 0) Wait(std::chrono::milliseconds(0));
    ::close(out_fd_);
    ::close(err_fd_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  std::string Out() const { return Read(out_fd_); }
  std::string Err() const { return Read(err_fd_); }

  void Signal(int signal_number) {
    if (pid_ > 0) ::kill(pid_, signal_number);
  }
  // The exit status, or -1 when it died by a signal or had to be killed at the deadline.
  int Wait(std::chrono::milliseconds deadline = kDeadline) {
    if (pid_ <= 0) return status_;
    int status = 0;
    const bool exited =
        WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, deadline);
    if (!exited) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    status_ = exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
  }

 private:
  static std::string Read(int fd) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(text.size()))) > 0) {
      text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
  }

  pid_t pid_ = -1;
  int status_ = -1;
  int out_fd_;
  int err_fd_;
};

}  // namespace pelmo::testing
