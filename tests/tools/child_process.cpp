#include "tests/tools/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

extern char** environ;

namespace tools_test {
namespace {

std::vector<std::string> merged_environment(const std::vector<std::string>& changes) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    vars[entry.substr(0, entry.find('='))] = entry;
  }
  for (const std::string& change : changes) {
    const std::size_t eq = change.find('=');
    if (eq == std::string::npos) {
      vars.erase(change);
    } else {
      vars[change.substr(0, eq)] = change;
    }
  }
  std::vector<std::string> out;
  for (auto& [name, entry] : vars) out.push_back(entry);
  return out;
}

int millis_until(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env, const std::string& cwd) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::vector<std::string> environment = merged_environment(env);
  std::vector<char*> envp;
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

bool ChildProcess::Pump(Deadline deadline) {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (out_fd_ < 0 && err_fd_ < 0) return false;
  if (poll(fds, 2, millis_until(deadline)) <= 0) return true;
  int* fd_of[2] = {&out_fd_, &err_fd_};
  std::string* text_of[2] = {&out_, &err_};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].revents == 0) continue;
    char buf[4096];
    const ssize_t n = read(*fd_of[i], buf, sizeof buf);
    if (n > 0) {
      text_of[i]->append(buf, static_cast<std::size_t>(n));
    } else {
      close(*fd_of[i]);
      *fd_of[i] = -1;
    }
  }
  return true;
}

const std::string& ChildProcess::WaitForLines(std::size_t lines, Deadline deadline) {
  while (static_cast<std::size_t>(std::count(out_.begin(), out_.end(), '\n')) < lines &&
         std::chrono::steady_clock::now() < deadline && Pump(deadline)) {
  }
  return out_;
}

void ChildProcess::Signal(int signal_number) {
  if (pid_ > 0 && !reaped_) kill(pid_, signal_number);
}

int ChildProcess::Wait(Deadline deadline) {
  if (pid_ <= 0) return -1;
  while (std::chrono::steady_clock::now() < deadline && Pump(deadline)) {
  }
  if (out_fd_ >= 0 || err_fd_ >= 0) kill(pid_, SIGKILL);  // still running at the deadline
  int status = 0;
  waitpid(pid_, &status, 0);
  reaped_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return status_;
}

}  // namespace tools_test
