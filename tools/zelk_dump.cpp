// zelk_dump: prints every frame delivered on the bus as the monitor's log line.
//
// Threads: the main thread owns the bus binding, the receive log state and stdout; it waits on
// the notification queue and a signalfd. The bus library's I/O thread only pushes
// notifications into the queue. SIGINT and SIGTERM are blocked in every thread (the mask is set
// before the library starts its thread) and read from the signalfd.
//
// A pipe on stdout is written through a non-blocking descriptor of its own, and a full pipe is
// waited for together with the signalfd: a reader that stops reading cannot keep SIGTERM from
// ending the tool.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bus/bus_binding.h"
#include "bus/bus_notify.h"
#include "frame/receive_log.h"
#include "tools/line_writer_view.h"
#include "tools/notify_queue.h"
#include "tools/tool_args.h"
#include "tools/tool_bus.h"

namespace {

constexpr const char* kTool = "zelk_dump";
constexpr std::uint32_t kRegisterValue = bus::kRegisterValue;  // receives the monitor's blocks
constexpr std::size_t kQueueBound = 65536;
// While no frame arrives, the library's offline reason is looked at this often: a bus this
// process may not use (another user's) ends the tool, a bus not served yet is waited for.
constexpr int kRefusalCheckMs = 100;

// Blocks SIGINT and SIGTERM for the process and returns a signalfd for them, or -1.
int open_signal_fd() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

// A descriptor for writing stdout: when stdout is a pipe, a non-blocking one opened afresh, so
// that the flag leaves the pipe's other writers alone; stdout itself otherwise (a terminal or a
// file, whose offset is shared with the shell, is written as it is). The caller closes it when
// it is not STDOUT_FILENO.
int open_output() {
  struct stat st;
  if (fstat(STDOUT_FILENO, &st) != 0 || !S_ISFIFO(st.st_mode)) return STDOUT_FILENO;
  const int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  return fd >= 0 ? fd : STDOUT_FILENO;
}

// Shows delivered frames until the count is reached, a signal arrives or stdout fails.
int run(const tools::DumpOptions& options, int signal_fd) {
  tools::NotifyQueue queue(kQueueBound);
  if (!queue.Ok()) {
    std::fprintf(stderr, "%s: cannot create the notification queue: %s\n", kTool,
                 std::strerror(errno));
    return tools::kExitFailure;
  }
  pm_window window{&tools::NotifyQueue::PostToQueue, &queue};
  if (!tools::register_or_explain(kTool, window, kRegisterValue)) return tools::kExitFailure;

  frame::ReceiveLogState state;
  state.flush_due = true;
  state.SetFilter(options.filter_text);
  const int output = open_output();
  tools::LineWriterView view(output, state.flush_due, options.count, signal_fd);
  const frame::ShowRecordContext ctx = state.Context(view);

  int status = tools::kExitOk;
  bool running = true;
  std::vector<tools::Notification> taken;
  while (running) {
    pollfd fds[2] = {{queue.fd(), POLLIN, 0}, {signal_fd, POLLIN, 0}};
    const int ready = poll(fds, 2, kRefusalCheckMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "%s: poll: %s\n", kTool, std::strerror(errno));
      status = tools::kExitFailure;
      break;
    }
    if (ready == 0 && tools::report_refusal(kTool)) {
      status = tools::kExitFailure;
      break;
    }
    if (fds[1].revents != 0) break;
    queue.TakeAllInto(taken);
    for (const tools::Notification& n : taken) {
      bus::OnBusNotify(false, n.code, n.handle, ctx);
      if (view.LimitReached() || view.WriteError() != 0) {
        running = false;
        break;
      }
    }
    view.Flush();  // one write for the whole round: each line is out as soon as it was shown
    if (view.WriteError() != 0 || view.Cancelled()) running = false;
  }
  view.Flush();
  if (view.WriteError() != 0 && view.WriteError() != EPIPE) {
    std::fprintf(stderr, "%s: cannot write to stdout: %s\n", kTool,
                 std::strerror(view.WriteError()));
    status = tools::kExitFailure;
  }
  if (output != STDOUT_FILENO) close(output);
  tools::report_drops(kTool, queue.Dropped());
  bus::Unregister(&window);  // no further Push after this returns
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const auto parsed = tools::ParseDumpArgs(args);
  if (parsed.status != tools::ParseStatus::kRun) {
    return tools::finish_without_running(kTool, parsed.status, parsed.error, tools::kDumpUsage);
  }
  // A reader that goes away (zelk_dump | head) ends the tool through EPIPE, not a signal.
  signal(SIGPIPE, SIG_IGN);
  const int signal_fd = open_signal_fd();
  if (signal_fd < 0) {
    std::fprintf(stderr, "%s: cannot watch for signals: %s\n", kTool, std::strerror(errno));
    return tools::kExitFailure;
  }
  if (!tools::load_bus_or_explain(kTool)) return tools::kExitFailure;
  const int status = run(parsed.options, signal_fd);
  bus::UnloadBus();
  close(signal_fd);
  return status;
}
