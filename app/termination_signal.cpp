#include "app/termination_signal.h"

#include <fcntl.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

namespace app {
namespace {

// The pipe is process-wide: there is one set of signal handlers.
int g_pipe[2] = {-1, -1};

void OnSignal(int signal_number) {
  const int saved_errno = errno;
  const unsigned char byte = static_cast<unsigned char>(signal_number);
  // Non-blocking: a full pipe already holds a pending request.
  [[maybe_unused]] const ssize_t written = write(g_pipe[1], &byte, 1);
  errno = saved_errno;
}

}  // namespace

TerminationSignal::TerminationSignal(QObject* parent) : QObject(parent) {
  if (g_pipe[0] >= 0 || pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignal::Drain);
}

TerminationSignal::~TerminationSignal() {
  if (notifier_ == nullptr) return;
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  delete notifier_;
  close(g_pipe[0]);
  close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
}

void TerminationSignal::Drain() {
  unsigned char bytes[16];
  ssize_t count = 0;
  int last = 0;
  while ((count = read(g_pipe[0], bytes, sizeof bytes)) > 0) last = bytes[count - 1];
  if (last != 0) emit Raised(last);
}

}  // namespace app
