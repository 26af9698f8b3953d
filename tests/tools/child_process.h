// Runs a program as a child process with its stdout and stderr captured, for the tool tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tools_test {

using Deadline = std::chrono::steady_clock::time_point;
inline Deadline after(std::chrono::milliseconds ms) {
  return std::chrono::steady_clock::now() + ms;
}

class ChildProcess {
 public:
  // env: "NAME=value" entries set on top of this process's environment, "NAME" entries removed.
  // cwd: the child's working directory; empty keeps this process's.
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::string& cwd = {});
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  // Reads stdout until it holds `lines` newline-terminated lines or the deadline passes.
  const std::string& WaitForLines(std::size_t lines, Deadline deadline);
  void Signal(int signal_number);
  // Waits for the exit, collecting the rest of the output; kills the child at the deadline.
  // Returns the exit status, or -1 when it had to be killed or died by a signal.
  int Wait(Deadline deadline);

  const std::string& Out() const { return out_; }
  const std::string& Err() const { return err_; }

 private:
  // Reads what is available on both pipes, waiting at most until the deadline; false at EOF of
  // both.
  bool Pump(Deadline deadline);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
  int status_ = -1;
  bool reaped_ = false;
};

}  // namespace tools_test
