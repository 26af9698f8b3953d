// Soak run of the monitor window: zelk_tran --generate RATE (default 21,300 frames/s, a
// saturated 1 Mbit/s bus) into a real CZelk_testDlg for SECONDS (default 60), then reports
// frames received against frames generated, the bus library's drop counters, this process's
// CPU share, its resident memory at start and end, and the longest stall of the event loop
// (the lateness of a 10 ms timer).
//
// Trickle mode: frames arrive one per bus message, as from a real CAN interface: bus_feeder
// posts one record per pmPostData at RATE into the companion's virtual bus (no generator), and
// the echo goes to MONITORS windows (this one and MONITORS-1 window processes of this program)
// and to one zelk_dump. Reports CPU per process (/proc/PID/stat), frames seen, drops (each
// window's library counters, the companion's reports, what zelk_dump prints at exit), memory,
// each window's latency from a frame's post to the end of its ShowRecord, and the allocations
// this process makes per frame (a counting malloc). A window's CPU is split by thread: the GUI
// thread, the bus library's I/O thread and Qt's own threads. zelk_dump's output is counted by a
// thread of this process that belongs to the harness: its CPU is shown apart and left out of
// the window's figure, and it never wakes the window's GUI thread.
//
//   app_soak [SECONDS] [RATE]                              (offscreen unless a display is set)
//   app_soak --trickle [SECONDS] [MONITORS] [RATE]         (default 20 s, 1 window, 21300/s)
//
// Threads: the GUI thread runs everything here; libpelmo's I/O thread only posts events. In
// trickle mode one harness thread, started and joined by RunTrickle, reads zelk_dump's stdout
// and counts its lines into an atomic. The counting allocator's counters are atomics touched by
// every thread.
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/zelk_test_dlg.h"
#include "bench/bench_support.h"
#include "bus/bus_binding.h"
#include "frame/frame_record.h"

// ---- Counting allocator: every malloc of the process, and those of the GUI thread. ----

extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);

namespace {
std::atomic<std::uint64_t> g_allocations{0};
std::atomic<std::uint64_t> g_gui_allocations{0};
pthread_t g_gui_thread{};
std::atomic<bool> g_gui_known{false};

void CountAllocation() {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (g_gui_known.load(std::memory_order_relaxed) && pthread_equal(pthread_self(), g_gui_thread)) {
    g_gui_allocations.fetch_add(1, std::memory_order_relaxed);
  }
}
}  // namespace

extern "C" void* malloc(std::size_t size) {
  CountAllocation();
  return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t n, std::size_t size) {
  CountAllocation();
  return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, std::size_t size) {
  CountAllocation();
  return __libc_realloc(p, size);
}

namespace {

std::uint64_t Info(std::uint32_t key) {
  std::uint64_t value = 0;
  if (bus::Binding().pmGetInfo != nullptr) bus::Binding().pmGetInfo(key, &value);
  return value;
}

// CPU seconds of each thread of this process so far, by thread id, with the thread's name.
struct ThreadCpu {
  std::string name;
  double seconds = 0;
};
std::map<pid_t, ThreadCpu> ThreadCpuSeconds() {
  std::map<pid_t, ThreadCpu> threads;
  const QDir tasks(QStringLiteral("/proc/self/task"));
  for (const QString& entry : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    const std::string dir = "/proc/self/task/" + entry.toStdString();
    const std::string stat = bench::ReadText(dir + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream in(stat.substr(close + 2));
    std::vector<std::string> fields(3);
    for (std::string field; in >> field;) fields.push_back(field);
    if (fields.size() <= 15) continue;
    std::string name = bench::ReadText(dir + "/comm");
    while (!name.empty() && name.back() == '\n') name.pop_back();
    threads[static_cast<pid_t>(entry.toInt())] = {
        name, static_cast<double>(std::stoull(fields[14]) + std::stoull(fields[15])) /
                  static_cast<double>(sysconf(_SC_CLK_TCK))};
  }
  return threads;
}

// Runs the event loop (sleeping while idle) until cond holds or ms pass.
bool RunUntil(const std::function<bool()>& cond, int ms) {
  if (cond()) return true;
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (cond()) loop.quit();
  });
  poll.start(10);
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
  return cond();
}

// ---- The window's latency: pmGetp is wrapped so that the blocks a notification event fetched
// are known (their records are copied as they are fetched, since a fetched block stays readable
// only until the next fetch); once the dialog has handled the event, each trickle record's post
// time is compared with the clock. ----

pmGetp_fn g_real_getp = nullptr;
std::vector<frame::FrameRecord> g_fetched_records;  // GUI thread only
std::uint64_t g_fetched_blocks = 0;

const void* TimedGetp(std::uint32_t handle, std::uint32_t* byte_count) {
  const void* block = g_real_getp(handle, byte_count);
  if (block != nullptr && byte_count != nullptr) {
    ++g_fetched_blocks;
    const auto* bytes = static_cast<const std::uint8_t*>(block);
    for (std::uint32_t at = 0; at + frame::kRecordSize <= *byte_count; at += frame::kRecordSize) {
      frame::FrameRecord& record = g_fetched_records.emplace_back();
      std::memcpy(record.data(), bytes + at, frame::kRecordSize);
    }
  }
  return block;
}

// Runs the event loop for ms, with no timer of its own besides the one that ends it.
void Idle(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

void* TimedSymbol(void* module, const char* name) {
  void* real = bus::SystemLoader().symbol(module, name);
  if (real != nullptr && std::strcmp(name, "pmGetp") == 0) {
    g_real_getp = reinterpret_cast<pmGetp_fn>(real);
    return reinterpret_cast<void*>(&TimedGetp);
  }
  return real;
}

class TimedDialog : public CZelk_testDlg {
 public:
  TimedDialog() {
    // Room for many full blocks, so that recording them allocates nothing the window is charged.
    g_fetched_records.reserve(std::size_t{1} << 16);
    SetNotifier([](const QString& text) {
      std::fprintf(stderr, "app_soak: message box: %s\n", qPrintable(text));
    });
    SetBusLoader([] {
      static const bus::ModuleLoader loader{bus::SystemLoader().open, &TimedSymbol,
                                            bus::SystemLoader().close,
                                            bus::SystemLoader().last_error};
      return bus::LoadBusFrom(bus::kBusLibraryName, loader);
    });
  }
  bench::LatencyHistogram latency;
  std::uint64_t blocks = 0;
  std::uint64_t notify_allocations = 0;  // made inside the notification handler
  std::uint64_t between_flush_allocations = 0, between_flush_frames = 0;
  std::uint64_t longest_handler_ns = 0;
  std::uint64_t between_flush_ns = 0, between_flush_events = 0;

 protected:
  bool event(QEvent* e) override {
    if (e->type() != app::BusNotifyEvent::TypeId()) return CZelk_testDlg::event(e);
    g_fetched_records.clear();
    const std::uint64_t blocks_before = g_fetched_blocks;
    const std::uint64_t allocations_before = g_gui_allocations.load(std::memory_order_relaxed);
    const bool flush_due = m_bFlushDue;
    const std::uint64_t rx_before = m_nRxCount;
    const std::uint64_t started = bench::MonotonicNs();
    const bool handled = CZelk_testDlg::event(e);
    const std::uint64_t now = bench::MonotonicNs();
    longest_handler_ns = std::max(longest_handler_ns, now - started);
    const std::uint64_t made =
        g_gui_allocations.load(std::memory_order_relaxed) - allocations_before;
    notify_allocations += made;
    if (!flush_due) {  // no 400 ms flush in this notification: only the per-record work
      between_flush_allocations += made;
      between_flush_frames += m_nRxCount - rx_before;
      between_flush_ns += now - started;
      ++between_flush_events;
    }
    blocks += g_fetched_blocks - blocks_before;
    for (const frame::FrameRecord& record : g_fetched_records) {
      latency.AddRecord(record.data(), now);
    }
    return handled;
  }
};

// One window's figures over the measured span.
struct WindowFigures {
  std::uint64_t frames = 0, blocks = 0, backlog_drops = 0, hub_drops = 0, notify_allocations = 0;
  std::uint64_t between_flush_allocations = 0, between_flush_frames = 0;
  double rss_start = 0, rss_end = 0, cpu = 0, longest_handler_ms = 0, mean_handler_us = 0;
  // cpu is the process less the harness thread: the GUI thread, the bus library's I/O thread
  // (the one thread without a name of its own), Qt's threads, and threads gone meanwhile.
  double gui_cpu = 0, bus_io_cpu = 0, harness_cpu = 0;
  std::string latency;
};

// Measures a window between Start() and Stop().
class WindowMeter {
 public:
  // harness_tid: a thread of this process that is not the window's (0: none).
  explicit WindowMeter(TimedDialog& dlg, pid_t harness_tid = 0)
      : dlg_(dlg), harness_tid_(harness_tid) {}
  void Start() {
    dlg_.latency.Reset();
    dlg_.longest_handler_ns = 0;
    rx_ = dlg_.m_nRxCount;
    blocks_ = dlg_.blocks;
    notify_allocations_ = dlg_.notify_allocations;
    between_allocations_ = dlg_.between_flush_allocations;
    between_frames_ = dlg_.between_flush_frames;
    between_ns_ = dlg_.between_flush_ns;
    between_events_ = dlg_.between_flush_events;
    backlog_ = Info(PM_INFO_DROPPED_BLOCKS);
    hub_ = Info(PM_INFO_HUB_DROPS);
    figures_.rss_start = bench::ResidentMiB(getpid());
    threads_ = ThreadCpuSeconds();
    cpu_ = bench::CpuSeconds(getpid());
  }
  WindowFigures Stop() {
    const double process = bench::CpuSeconds(getpid()) - cpu_;
    const auto threads = ThreadCpuSeconds();
    const std::string process_name = threads.count(getpid()) ? threads.at(getpid()).name : "";
    for (const auto& [tid, now] : threads) {
      const auto before = threads_.find(tid);
      const double used = now.seconds - (before != threads_.end() ? before->second.seconds : 0);
      if (tid == getpid()) {
        figures_.gui_cpu += used;
      } else if (tid == harness_tid_) {
        figures_.harness_cpu += used;
      } else if (now.name == process_name) {
        figures_.bus_io_cpu += used;
      }
    }
    figures_.cpu = process - figures_.harness_cpu;
    figures_.rss_end = bench::ResidentMiB(getpid());
    figures_.frames = dlg_.m_nRxCount - rx_;
    figures_.blocks = dlg_.blocks - blocks_;
    figures_.notify_allocations = dlg_.notify_allocations - notify_allocations_;
    figures_.between_flush_allocations = dlg_.between_flush_allocations - between_allocations_;
    figures_.between_flush_frames = dlg_.between_flush_frames - between_frames_;
    const std::uint64_t events = dlg_.between_flush_events - between_events_;
    figures_.mean_handler_us = events ? static_cast<double>(dlg_.between_flush_ns - between_ns_) /
                                            1e3 / static_cast<double>(events)
                                      : 0;
    figures_.backlog_drops = Info(PM_INFO_DROPPED_BLOCKS) - backlog_;
    figures_.hub_drops = Info(PM_INFO_HUB_DROPS) - hub_;
    char p99[48];
    std::snprintf(p99, sizeof p99, ", 99%% within %.2f ms", dlg_.latency.PercentileMs(99));
    figures_.latency = dlg_.latency.Describe() + (dlg_.latency.Count() != 0 ? p99 : "");
    figures_.longest_handler_ms = static_cast<double>(dlg_.longest_handler_ns) / 1e6;
    return figures_;
  }

 private:
  TimedDialog& dlg_;
  const pid_t harness_tid_;
  WindowFigures figures_;
  std::map<pid_t, ThreadCpu> threads_;
  std::uint64_t rx_ = 0, blocks_ = 0, notify_allocations_ = 0, backlog_ = 0, hub_ = 0;
  std::uint64_t between_allocations_ = 0, between_frames_ = 0, between_ns_ = 0, between_events_ = 0;
  double cpu_ = 0;
};

std::string FormatWindow(const WindowFigures& f, double elapsed) {
  char text[1024];
  std::snprintf(
      text, sizeof text,
      "CPU %.2f%% of a core (GUI thread %.2f%%, bus I/O thread %.2f%%, Qt's threads "
      "%.2f%%); %llu frames (%.0f/s) in %llu blocks; drops: library "
      "backlog %llu, hub %llu; RSS %.1f -> %.1f MiB; latency post -> ShowRecord %s; "
      "allocations in the notification handler %.3f per frame (%llu in %llu frames "
      "handled without a flush); notification handler %.1f us on average without a "
      "flush, longest %.2f ms",
      100.0 * f.cpu / elapsed, 100.0 * f.gui_cpu / elapsed, 100.0 * f.bus_io_cpu / elapsed,
      100.0 * (f.cpu - f.gui_cpu - f.bus_io_cpu) / elapsed,
      static_cast<unsigned long long>(f.frames), static_cast<double>(f.frames) / elapsed,
      static_cast<unsigned long long>(f.blocks), static_cast<unsigned long long>(f.backlog_drops),
      static_cast<unsigned long long>(f.hub_drops), f.rss_start, f.rss_end, f.latency.c_str(),
      f.frames ? static_cast<double>(f.notify_allocations) / static_cast<double>(f.frames) : 0.0,
      static_cast<unsigned long long>(f.between_flush_allocations),
      static_cast<unsigned long long>(f.between_flush_frames), f.mean_handler_us,
      f.longest_handler_ms);
  return text;
}

// A second monitor window in its own process: "start" and "stop" on stdin bound the measured
// span; at "stop" it prints its figures on stdout and exits.
int RunWindowChild() {
  TimedDialog dlg;
  dlg.show();
  if (!bus::IsBound()) return 1;
  WindowMeter meter(dlg);
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QElapsedTimer wall;
  std::string pending;
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char buffer[64];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
      QCoreApplication::exit(0);
      return;
    }
    pending.append(buffer, static_cast<std::size_t>(n));
    if (pending.find("start\n") != std::string::npos) {
      pending.erase(0, pending.find("start\n") + 6);
      wall.start();
      meter.Start();
    }
    if (pending.find("stop\n") != std::string::npos) {
      const WindowFigures f = meter.Stop();
      const double elapsed = static_cast<double>(wall.elapsed()) / 1000.0;
      std::printf("%s\n", FormatWindow(f, elapsed).c_str());
      std::fflush(stdout);
      QCoreApplication::exit(0);
    }
  });
  QCoreApplication::exec();
  dlg.done(0);
  return 0;
}

// Counts the lines written into a pipe, on a thread of its own (the harness's, not the window's),
// until the pipe's writer closes it. Owns the read end.
class LineCounter {
 public:
  explicit LineCounter(int fd) : fd_(fd) {
    thread_ = std::thread([this] {
      tid_.store(static_cast<pid_t>(syscall(SYS_gettid)));
      pthread_setname_np(pthread_self(), "line counter");
      char buffer[65536];
      ssize_t n;
      while ((n = read(fd_, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) {
          lines_.fetch_add(static_cast<std::uint64_t>(std::count(buffer, buffer + n, '\n')));
        }
        // The pipe holds far more than a pause's worth: read in chunks, not at every write.
        usleep(kPauseUs);
      }
    });
    while (tid_.load() == 0) std::this_thread::yield();
  }
  ~LineCounter() {
    // An early return leaves the writer running: the thread is left to the process's exit.
    if (thread_.joinable()) thread_.detach();
  }
  LineCounter(const LineCounter&) = delete;
  LineCounter& operator=(const LineCounter&) = delete;

  pid_t Tid() const { return tid_.load(); }
  std::uint64_t Lines() const { return lines_.load(); }
  // Waits for the end of the writer's output and returns the total.
  std::uint64_t Finish() {
    thread_.join();
    close(fd_);
    return lines_.load();
  }

 private:
  static constexpr useconds_t kPauseUs = 20'000;
  const int fd_;
  std::atomic<pid_t> tid_{0};
  std::atomic<std::uint64_t> lines_{0};
  std::thread thread_;
};

// The companion's reports (stderr in the foreground) apart from its start-up notice.
std::string ReportedLines(const std::string& text) {
  std::string kept;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("serving") == std::string::npos) kept += "\n      " + line;
  }
  return kept.empty() ? "nothing" : kept;
}

int RunTrickle(int seconds, int monitors, int rate) {
  const std::string bin = QCoreApplication::applicationDirPath().toStdString();
  QTemporaryDir dir;
  const std::string dir_path = dir.path().toStdString();
  const std::string bus_path = dir_path + "/bus";
  setenv("PELMO_BUS", bus_path.c_str(), 1);
  setenv("XDG_CONFIG_HOME", dir_path.c_str(), 1);  // no settings file of the user's

  const std::string companion_err = dir_path + "/companion.err";
  const int companion_err_fd = open(companion_err.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  const pid_t companion =
      bench::Spawn({bin + "/zelk_tran", "--foreground", "--bus", bus_path, "--idle-exit", "0"}, -1,
                   -1, companion_err_fd);
  close(companion_err_fd);

  TimedDialog dlg;
  dlg.show();
  if (!bus::IsBound()) return 1;

  // The other windows, each with a pipe to its stdin and one from its stdout.
  struct Child {
    pid_t pid;
    int control;
    int figures;
  };
  std::vector<Child> children;
  const std::string self = QCoreApplication::applicationFilePath().toStdString();
  for (int i = 1; i < monitors; ++i) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return 1;
    const pid_t pid = bench::Spawn({self, "--window-child"}, in[0], out[1]);
    close(in[0]);
    close(out[1]);
    children.push_back({pid, in[1], out[0]});
  }
  int dump_out[2];
  if (pipe2(dump_out, O_CLOEXEC) != 0) return 1;
  fcntl(dump_out[0], F_SETPIPE_SZ, 1 << 20);
  const std::string dump_err = dir_path + "/dump.err";
  const int dump_err_fd = open(dump_err.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  const pid_t dump = bench::Spawn({bin + "/zelk_dump"}, -1, dump_out[1], dump_err_fd);
  close(dump_out[1]);
  close(dump_err_fd);
  LineCounter dump_lines(dump_out[0]);

  const auto clients = static_cast<std::uint64_t>(monitors + 1);
  if (!RunUntil([&] { return Info(PM_INFO_CLIENTS) >= clients; }, 20000)) {
    std::fprintf(stderr, "app_soak: the bus never had %llu clients\n",
                 static_cast<unsigned long long>(clients));
    return 1;
  }
  constexpr int kWarmUpMs = 2000;
  int feeder_out[2];
  if (pipe2(feeder_out, O_CLOEXEC) != 0) return 1;
  const pid_t feeder =
      bench::Spawn({bin + "/bus_feeder", std::to_string(rate),
                    std::to_string(seconds + kWarmUpMs / 1000 + 1), std::to_string(clients + 1)},
                   -1, feeder_out[1]);
  close(feeder_out[1]);
  if (!RunUntil([&] { return dlg.m_nRxCount > 0; }, 20000)) {
    std::fprintf(stderr, "app_soak: no frames reached the window\n");
    return 1;
  }
  Idle(kWarmUpMs);  // the log fills past its trim point

  WindowMeter meter(dlg, dump_lines.Tid());
  const std::string load_before = bench::LoadAverage();
  for (const Child& c : children) [[maybe_unused]] auto n = write(c.control, "start\n", 6);
  meter.Start();
  const double companion0 = bench::CpuSeconds(companion), dump0 = bench::CpuSeconds(dump),
               feeder0 = bench::CpuSeconds(feeder);
  const double companion_rss0 = bench::ResidentMiB(companion), dump_rss0 = bench::ResidentMiB(dump);
  const std::uint64_t dump_lines0 = dump_lines.Lines();
  const std::uint64_t allocations0 = g_allocations.load(),
                      gui_allocations0 = g_gui_allocations.load();
  const bench::MachineTicks machine0 = bench::ReadMachineTicks();
  QElapsedTimer wall;
  wall.start();
  Idle(seconds * 1000);
  const bench::MachineTicks machine1 = bench::ReadMachineTicks();
  const std::uint64_t allocations = g_allocations.load() - allocations0;
  const std::uint64_t gui_allocations = g_gui_allocations.load() - gui_allocations0;
  const WindowFigures own = meter.Stop();
  for (const Child& c : children) [[maybe_unused]] auto n = write(c.control, "stop\n", 5);
  const double elapsed = static_cast<double>(wall.elapsed()) / 1000.0;
  const std::uint64_t dump_measured = dump_lines.Lines() - dump_lines0;
  const double companion_cpu = bench::CpuSeconds(companion) - companion0;
  const double dump_cpu = bench::CpuSeconds(dump) - dump0;
  const double feeder_cpu = bench::CpuSeconds(feeder) - feeder0;
  const double companion_rss1 = bench::ResidentMiB(companion), dump_rss1 = bench::ResidentMiB(dump);

  std::vector<std::string> child_lines;
  for (const Child& c : children) {
    std::string text;
    char buffer[1024];
    ssize_t n;
    while ((n = read(c.figures, buffer, sizeof buffer)) > 0)
      text.append(buffer, static_cast<std::size_t>(n));
    while (!text.empty() && text.back() == '\n') text.pop_back();
    child_lines.push_back(text.empty() ? "no figures" : text);
    close(c.control);
    close(c.figures);
    int status = 0;
    waitpid(c.pid, &status, 0);
  }
  // The feeder ends by itself; then the last frames drain and everyone stops.
  RunUntil([&] { return waitpid(feeder, nullptr, WNOHANG) == feeder; }, 20000);
  Idle(500);
  char feeder_line[512] = {};
  const ssize_t feeder_n = read(feeder_out[0], feeder_line, sizeof feeder_line - 1);
  close(feeder_out[0]);
  unsigned long long posted = 0;
  if (feeder_n > 0) std::sscanf(feeder_line, "bus_feeder: posted %llu", &posted);
  const std::uint64_t window_total = dlg.m_nRxCount;
  bench::StopProcess(dump);
  const std::uint64_t dump_total = dump_lines.Finish();  // zelk_dump's output ends with it
  bench::StopProcess(companion);

  std::printf(
      "app_soak --trickle: %d frames/s, one per bus message, %d window(s) and one "
      "zelk_dump, %.1f s measured\n",
      rate, monitors, elapsed);
  std::printf(
      "  machine             load average %s before; all processes together %.2f of %ld "
      "cores busy\n",
      load_before.c_str(), bench::BusyCores(machine0, machine1), sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("  window 0 (here)     %s\n", FormatWindow(own, elapsed).c_str());
  std::printf(
      "                      %llu of %llu posted frames in all; allocations per frame "
      "%.3f (GUI thread %.3f)\n",
      static_cast<unsigned long long>(window_total), posted,
      own.frames ? static_cast<double>(allocations) / static_cast<double>(own.frames) : 0.0,
      own.frames ? static_cast<double>(gui_allocations) / static_cast<double>(own.frames) : 0.0);
  for (std::size_t i = 0; i < child_lines.size(); ++i) {
    std::printf("  window %zu           %s\n", i + 1, child_lines[i].c_str());
  }
  std::printf(
      "  zelk_dump           CPU %.2f%% of a core; %llu lines (%.0f/s); %llu of %llu "
      "posted frames in all; RSS %.1f -> %.1f MiB\n",
      100.0 * dump_cpu / elapsed, static_cast<unsigned long long>(dump_measured),
      static_cast<double>(dump_measured) / elapsed, static_cast<unsigned long long>(dump_total),
      posted, dump_rss0, dump_rss1);
  const std::string dump_says = bench::ReadText(dump_err);
  std::printf("      says at exit: %s", dump_says.empty() ? "nothing\n" : dump_says.c_str());
  std::printf(
      "  harness             CPU %.2f%% of a core: the thread of this process counting "
      "zelk_dump's lines (not in window 0's figure)\n",
      100.0 * own.harness_cpu / elapsed);
  std::printf("  companion           CPU %.2f%% of a core; RSS %.1f -> %.1f MiB; reported: %s\n",
              100.0 * companion_cpu / elapsed, companion_rss0, companion_rss1,
              ReportedLines(bench::ReadText(companion_err)).c_str());
  std::printf("  feeder              CPU %.2f%% of a core; %s", 100.0 * feeder_cpu / elapsed,
              feeder_n > 0 ? feeder_line : "no summary\n");
  dlg.done(0);
  return 0;
}

int RunGenerator(int seconds, int rate) {
  QTemporaryDir dir;
  const QString bus_path = dir.filePath(QStringLiteral("bus"));
  qputenv("PELMO_BUS", bus_path.toLocal8Bit());
  const QString tran = QCoreApplication::applicationDirPath() + QStringLiteral("/zelk_tran");
  if (!QFile::exists(tran)) {
    std::fprintf(stderr, "app_soak: %s is not built\n", qPrintable(tran));
    return 1;
  }

  TimedDialog dlg;
  dlg.show();
  if (!bus::IsBound()) return 1;

  // The companion starts its generator at once; frames before the window is connected are
  // not the window's, so the count starts from a settled moment.
  QProcess companion;
  companion.setProcessChannelMode(QProcess::ForwardedChannels);
  companion.start(tran, {QStringLiteral("--foreground"), QStringLiteral("--bus"), bus_path,
                         QStringLiteral("--generate"), QString::number(rate)});
  if (!companion.waitForStarted() ||
      !RunUntil([] { return Info(PM_INFO_CONNECTED) == 1; }, 10000) ||
      !RunUntil([&] { return dlg.m_nRxCount > 0; }, 10000)) {
    std::fprintf(stderr, "app_soak: no frames reached the window\n");
    return 1;
  }
  Idle(2000);  // warm-up: the log fills past its trim point

  // Event-loop lateness, watched by a 10 ms timer.
  QElapsedTimer since_tick;
  qint64 worst_stall_ms = 0;
  QTimer watch;
  watch.setTimerType(Qt::PreciseTimer);
  watch.setInterval(10);
  QObject::connect(&watch, &QTimer::timeout,
                   [&] { worst_stall_ms = std::max(worst_stall_ms, since_tick.restart() - 10); });

  WindowMeter meter(dlg);
  meter.Start();
  const std::uint64_t allocations0 = g_allocations.load();
  QElapsedTimer wall;
  wall.start();
  since_tick.start();
  watch.start();
  Idle(seconds * 1000);
  watch.stop();
  const std::uint64_t allocations = g_allocations.load() - allocations0;
  const double elapsed = static_cast<double>(wall.elapsed()) / 1000.0;
  const WindowFigures f = meter.Stop();

  companion.terminate();
  companion.waitForFinished(10000);
  const double expected = elapsed * rate;
  std::printf("app_soak: %d s at %d frames/s into the monitor window\n", seconds, rate);
  std::printf("  frames received     %llu in %.1f s (%.0f/s; generator nominal %.0f, %.2f%%)\n",
              static_cast<unsigned long long>(f.frames), elapsed,
              static_cast<double>(f.frames) / elapsed, expected,
              100.0 * static_cast<double>(f.frames) / expected);
  std::printf("  frames lost         library backlog drops %llu blocks, hub drops %llu blocks\n",
              static_cast<unsigned long long>(f.backlog_drops),
              static_cast<unsigned long long>(f.hub_drops));
  std::printf("  CPU                 %.2f s = %.1f%% of one core (GUI thread + bus I/O thread)\n",
              f.cpu, 100.0 * f.cpu / elapsed);
  std::printf("  resident memory     %.1f MiB at start, %.1f MiB at end\n", f.rss_start, f.rss_end);
  std::printf("  allocations         %.3f per frame\n",
              f.frames ? static_cast<double>(allocations) / static_cast<double>(f.frames) : 0.0);
  std::printf("  longest loop stall  %lld ms beyond the 10 ms watch period\n",
              static_cast<long long>(worst_stall_ms));
  std::printf("  log                 %zu characters, %llu lines shown\n",
              dlg.m_editLog.Text().size(), static_cast<unsigned long long>(dlg.m_nLineNo));
  dlg.done(0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication application(argc, argv);
  g_gui_thread = pthread_self();
  g_gui_known = true;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "--window-child") return RunWindowChild();
  if (!args.empty() && args[0] == "--trickle") {
    return RunTrickle(args.size() > 1 ? std::atoi(args[1].c_str()) : 20,
                      args.size() > 2 ? std::atoi(args[2].c_str()) : 1,
                      args.size() > 3 ? std::atoi(args[3].c_str()) : 21300);
  }
  return RunGenerator(!args.empty() ? std::atoi(args[0].c_str()) : 60,
                      args.size() > 1 ? std::atoi(args[1].c_str()) : 21300);
}
