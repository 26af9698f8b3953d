#include "tran/core/daemon.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tran/base/report.h"

namespace tran {

namespace {
int status_fd = -1;  // write end of the readiness pipe, in the background process
}  // namespace

void DetachIntoBackground() {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) < 0) {
    std::fprintf(stderr, "zelk_tran: cannot detach: %s\n", std::strerror(errno));
    std::exit(1);
  }
  const pid_t child = ::fork();
  if (child < 0) {
    std::fprintf(stderr, "zelk_tran: cannot detach: %s\n", std::strerror(errno));
    std::exit(1);
  }
  if (child > 0) {
    ::close(pipe_fds[1]);
    int ignored;
    while (::waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
    }
    char status = 0;
    ssize_t n;
    while ((n = ::read(pipe_fds[0], &status, 1)) < 0 && errno == EINTR) {
    }
    if (n != 1) {
      std::fprintf(stderr, "zelk_tran: the background process ended during start-up\n");
      std::_Exit(1);
    }
    std::_Exit(status == static_cast<char>(StartStatus::kFailed) ? 1 : 0);
  }
  ::close(pipe_fds[0]);
  ::setsid();
  const pid_t grandchild = ::fork();
  if (grandchild != 0) std::_Exit(grandchild < 0 ? 1 : 0);  // no longer a session leader
  status_fd = pipe_fds[1];
  if (::chdir("/") < 0) {
    // Keep the working directory; paths were made absolute before detaching.
  }
}

void ReportStartStatus(StartStatus status) {
  if (status_fd < 0) return;
  if (status == StartStatus::kReady) {
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd >= 0) {
      ::dup2(null_fd, STDIN_FILENO);
      ::dup2(null_fd, STDOUT_FILENO);
      ::dup2(null_fd, STDERR_FILENO);
      if (null_fd > STDERR_FILENO) ::close(null_fd);
    }
    ReportToSyslog();
  }
  const char byte = static_cast<char>(status);
  [[maybe_unused]] const ssize_t n = ::write(status_fd, &byte, 1);
  ::close(status_fd);
  status_fd = -1;
}

}  // namespace tran
