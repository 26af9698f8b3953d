// tran_bench: the companion's generator -> hub -> zelk_dump-style consumers (libpelmo clients
// counting records). Reports frames/s, CPU seconds per million frames of the companion and of
// the consumer, and the companion's share of a core at a saturated 1 Mbit/s bus to two
// consumers. Then the replay: a log played at --speed 0 into one real zelk_dump (frames/s,
// and whether every frame arrived), and a log played at its recorded speed into a consumer
// that notes when each frame arrives (the timing error, median and tail).
//
// Usage: tran_bench [SECONDS [REPLAY_FRAMES]]   (each generator case measures for SECONDS,
//                                                default 3; the full-speed replay plays
//                                                REPLAY_FRAMES, default 3000000)
//
// Trickle mode: frames arriving one per bus message, as from a real CAN interface. A feeder
// process (bus_feeder) posts one record per message at RATE (default 21,300 frames/s, a
// saturated 1 Mbit/s bus) into the companion's virtual bus, whose echo goes to MONITORS
// zelk_dump processes (stdout into a pipe this process counts) and to a probe client here that
// measures each frame's latency from its post to its fetch. Reports CPU per process from
// /proc/PID/stat, frames seen, drops (the probe's library counters, the companion's and each
// zelk_dump's reports), resident memory and the machine's load.
//
//        tran_bench --trickle [SECONDS] [MONITORS] [RATE]  (default 10 s, 1 zelk_dump, 21300/s)
// Threads: the main thread fetches and counts; libpelmo's own thread announces blocks.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "frame/frame_record.h"
#include "pelmo.h"
#include "tran/candump/candump_log.h"
#include "tran/core/frame_generator.h"

namespace {

using Clock = std::chrono::steady_clock;

double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) {
      stime = std::stoull(field);
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double OwnCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A bus client of this process: notes each block the library announces, with the time of the
// announcement (on libpelmo's thread), and with a wake fd also signals an eventfd for each.
class BusClient {
 public:
  struct Block {
    const std::uint8_t* data;
    std::uint32_t size;
    Clock::time_point announced;
  };

  BusClient(const char* name, bool with_wake_fd)
      : wake_fd_(with_wake_fd ? eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC) : -1) {
    window_.post = &BusClient::OnPost;
    window_.context = this;
    pmRegister(&window_, PM_CODE_ROUTE, name);
  }
  ~BusClient() {
    pmUnregister(&window_);
    if (wake_fd_ >= 0) close(wake_fd_);
  }
  BusClient(const BusClient&) = delete;
  BusClient& operator=(const BusClient&) = delete;
  int wake_fd() const { return wake_fd_; }

  // Fetches the frame deliveries announced so far and calls visit(Block) for each; returns the
  // records they hold.
  template <class Visit>
  std::uint64_t Drain(Visit&& visit) {
    if (wake_fd_ >= 0) {
      std::uint64_t ignored;
      [[maybe_unused]] const ssize_t n = read(wake_fd_, &ignored, sizeof ignored);
    }
    {
      std::lock_guard lock(mutex_);
      notes_.swap(work_);
    }
    std::uint64_t records = 0;
    for (const Note& note : work_) {
      if ((note.code & 0x100004FF) != 0x10000412) continue;
      std::uint32_t size = 0;
      const auto* data = static_cast<const std::uint8_t*>(pmGetp(note.handle, &size));
      if (data == nullptr) continue;
      visit(Block{data, size, note.at});
      records += size / 16;
    }
    work_.clear();
    return records;
  }

 private:
  struct Note {
    std::uint32_t code;
    std::uint32_t handle;
    Clock::time_point at;
  };
  static void OnPost(void* context, std::uint32_t message, std::uintptr_t wparam,
                     std::intptr_t lparam) {
    if (message != PM_WM_BUS_NOTIFY) return;
    const auto now = Clock::now();
    auto* self = static_cast<BusClient*>(context);
    {
      std::lock_guard lock(self->mutex_);
      self->notes_.push_back({static_cast<std::uint32_t>(wparam),
                              static_cast<std::uint32_t>(lparam & 0xFFFFFFFF), now});
    }
    if (self->wake_fd_ >= 0) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = write(self->wake_fd_, &one, sizeof one);
    }
  }
  int wake_fd_;
  pm_window window_{};
  std::mutex mutex_;
  std::vector<Note> notes_, work_;
};

// A zelk_dump-style consumer: fetches every announced frame block and counts its records.
class Consumer {
 public:
  // Fetches what is pending; returns the records counted.
  std::uint64_t Drain() {
    return client_.Drain([](const BusClient::Block&) {});
  }
  std::uint64_t CountFor(Clock::duration span) {
    std::uint64_t total = 0;
    const auto end = Clock::now() + span;
    while (Clock::now() < end) {
      total += Drain();
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return total;
  }

 private:
  BusClient client_{"tran_bench", false};
};

std::uint64_t Info(pm_info_key key) {
  std::uint64_t value = 0;
  pmGetInfo(key, &value);
  return value;
}

void Stop(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// Exit status of `pid` once it ends within `limit`, else -1 (it is left running).
int WaitExit(pid_t pid, Clock::duration limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return -1;
}

// Writes `frames` generated frames as a candump log, `gap_us(i)` apart; returns the times.
std::vector<std::int64_t> WriteLog(const std::string& path, std::uint64_t frames,
                                   const std::function<std::int64_t(std::uint64_t)>& gap_us) {
  std::ofstream out(path, std::ios::binary);
  tran::FrameGenerator generator;
  std::vector<std::int64_t> times;
  std::int64_t t = 1'700'000'000'000'000;
  std::string line;
  for (std::uint64_t i = 0; i < frames; ++i) {
    t += i == 0 ? 0 : gap_us(i);
    if (frames <= 100'000) times.push_back(t);
    line.clear();
    tran::AppendCandumpLine(
        line, generator.Next(),
        timeval{static_cast<time_t>(t / 1'000'000), static_cast<suseconds_t>(t % 1'000'000)},
        "can0");
    out << line;
  }
  return times;
}

// A consumer that notes when each frame arrives (on libpelmo's thread, as announced).
class TimingConsumer {
 public:
  // Arrival times of the first `count` frames, or fewer after the deadline.
  std::vector<Clock::time_point> Collect(std::size_t count, Clock::duration limit) {
    std::vector<Clock::time_point> arrivals;
    const auto end = Clock::now() + limit;
    while (arrivals.size() < count && Clock::now() < end) {
      client_.Drain([&](const BusClient::Block& block) {
        arrivals.insert(arrivals.end(), block.size / 16, block.announced);
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return arrivals;
  }

 private:
  BusClient client_{"tran_bench", false};
};

// --speed 0 into one zelk_dump writing to /dev/null: the replay starts when zelk_dump joins,
// and zelk_dump -n FRAMES ends only once every frame has been shown.
void BenchFullSpeedReplay(const std::string& tran, const std::string& dump, const std::string& dir,
                          const std::string& bus, std::uint64_t frames) {
  const std::string log = dir + "/full.log";
  WriteLog(log, frames, [](std::uint64_t) { return 100; });
  const pid_t companion =
      bench::Spawn({tran, "--foreground", "--bus", bus, "--replay", log, "--speed", "0"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double tran0 = ProcessCpuSeconds(companion);
  const auto t0 = Clock::now();
  const pid_t dumper = fork();
  if (dumper == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    execl(dump.c_str(), dump.c_str(), "-n", std::to_string(frames).c_str(), nullptr);
    _exit(127);
  }
  // Generous: at 100k frames/s it still finishes. A lost frame keeps it waiting for ever.
  const int status = WaitExit(dumper, std::chrono::seconds(10 + frames / 100'000));
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  const double tran_cpu = ProcessCpuSeconds(companion) - tran0;
  if (status < 0) {
    kill(dumper, SIGTERM);  // it reports the bus's drop counters on stderr
    waitpid(dumper, nullptr, 0);
  }
  Stop(companion);
  std::remove(log.c_str());
  if (status == 0) {
    std::printf(
        "replay --speed 0 -> zelk_dump >/dev/null: %llu frames in %.2f s, %.0f frames/s, none "
        "lost; companion %.0f%% of a core\n",
        static_cast<unsigned long long>(frames), seconds, static_cast<double>(frames) / seconds,
        100.0 * tran_cpu / seconds);
  } else {
    std::printf("replay --speed 0 -> zelk_dump: FRAMES LOST (zelk_dump status %d)\n", status);
  }
}

// Recorded speed: gaps of 0.2..4.9 ms; each frame's arrival against its recorded time,
// measured from the first frame's arrival.
void BenchRecordedSpeedReplay(const std::string& tran, const std::string& dir,
                              const std::string& bus) {
  constexpr std::uint64_t kFrames = 2000;
  const std::string log = dir + "/timed.log";
  const auto times = WriteLog(log, kFrames, [](std::uint64_t i) {
    return 200 + static_cast<std::int64_t>(i * 7919 % 4700);
  });
  const pid_t companion = bench::Spawn({tran, "--foreground", "--bus", bus, "--replay", log});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<Clock::time_point> arrivals;
  {
    TimingConsumer consumer;
    const double span_s = static_cast<double>(times.back() - times.front()) * 1e-6;
    arrivals = consumer.Collect(kFrames, std::chrono::seconds(static_cast<long>(span_s) + 10));
  }
  Stop(companion);
  std::remove(log.c_str());
  if (arrivals.size() < kFrames) {
    std::printf("replay at recorded speed: only %zu of %llu frames arrived\n", arrivals.size(),
                static_cast<unsigned long long>(kFrames));
    return;
  }
  std::vector<double> errors_ms;
  for (std::size_t i = 0; i < kFrames; ++i) {
    const double played =
        std::chrono::duration<double, std::milli>(arrivals[i] - arrivals[0]).count();
    const double recorded = static_cast<double>(times[i] - times[0]) * 1e-3;
    errors_ms.push_back(std::abs(played - recorded));
  }
  std::sort(errors_ms.begin(), errors_ms.end());
  const auto at = [&](double q) { return errors_ms[static_cast<std::size_t>(q * (kFrames - 1))]; };
  std::printf(
      "replay at recorded speed (%llu frames, gaps 0.2..4.9 ms, %.1f s): timing error median "
      "%.3f ms, 90%% %.3f ms, 99%% %.3f ms, max %.3f ms\n",
      static_cast<unsigned long long>(kFrames),
      static_cast<double>(times.back() - times.front()) * 1e-6, at(0.5), at(0.9), at(0.99),
      errors_ms.back());
}

struct Measure {
  std::uint64_t frames = 0;
  double seconds = 0, companion_cpu = 0, consumer_cpu = 0;
};

// Counts for `span` after a warm-up, measuring CPU of the companion and of this process.
Measure Run(pid_t companion, Consumer& consumer, Clock::duration span) {
  consumer.CountFor(std::chrono::milliseconds(500));
  Measure m;
  const double tran0 = ProcessCpuSeconds(companion), own0 = OwnCpuSeconds();
  const auto t0 = Clock::now();
  m.frames = consumer.CountFor(span);
  m.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  m.companion_cpu = ProcessCpuSeconds(companion) - tran0;
  m.consumer_cpu = OwnCpuSeconds() - own0;
  return m;
}

// A client that measures each trickle frame's latency when it fetches the frame, woken by an
// eventfd as soon as the library announces a block (no polling delay of its own).
class LatencyProbe {
 public:
  int fd() const { return client_.wake_fd(); }
  // Fetches every announced block; returns the frame records seen.
  std::uint64_t Drain() {
    return client_.Drain([this](const BusClient::Block& block) {
      const std::uint64_t now = bench::MonotonicNs();
      for (std::uint32_t at = 0; at + 16 <= block.size; at += 16) {
        latency.AddRecord(block.data + at, now);
      }
      ++blocks;
    });
  }

  bench::LatencyHistogram latency;
  std::uint64_t blocks = 0;

 private:
  BusClient client_{"tran_bench_probe", true};
};

// A zelk_dump process whose stdout lines this process counts.
struct DumpProcess {
  pid_t pid = -1;
  int out_fd = -1;
  std::string err_path;
  std::uint64_t lines = 0;

  void CountLines() {
    char buffer[65536];
    ssize_t n;
    while ((n = read(out_fd, buffer, sizeof buffer)) > 0) {
      lines += static_cast<std::uint64_t>(std::count(buffer, buffer + n, '\n'));
    }
  }
};

struct Snapshot {
  double companion = 0, feeder = 0, probe = 0;
  std::vector<double> dumps;
  bench::MachineTicks machine;
  std::uint64_t probe_frames = 0;
  std::vector<std::uint64_t> dump_lines;
};

// The companion's reports (stderr in the foreground) apart from its start-up notice.
std::string ReportedLines(const std::string& path) {
  std::string kept;
  std::istringstream lines(bench::ReadText(path));
  for (std::string line; std::getline(lines, line);) {
    if (line.find("serving") == std::string::npos) kept += "\n      " + line;
  }
  return kept.empty() ? "nothing" : kept;
}

int RunTrickle(const std::string& self_dir, double seconds, int monitors, double rate) {
  char dir_template[] = "/tmp/tran_bench_XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const std::string bus = dir + "/bus";
  setenv("PELMO_BUS", bus.c_str(), 1);
  setenv("XDG_CONFIG_HOME", dir.c_str(), 1);  // no settings file of the user's
  const std::string companion_err = dir + "/companion.err";
  const int companion_err_fd = open(companion_err.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  const pid_t companion =
      bench::Spawn({self_dir + "/zelk_tran", "--foreground", "--bus", bus, "--idle-exit", "0"}, -1,
                   -1, companion_err_fd);
  for (int i = 0; i < 500 && access(bus.c_str(), F_OK) != 0; ++i) usleep(10'000);

  std::vector<DumpProcess> dumps(static_cast<std::size_t>(monitors));
  for (std::size_t i = 0; i < dumps.size(); ++i) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return 1;
    fcntl(pipe_fds[0], F_SETPIPE_SZ, 1 << 20);
    fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
    dumps[i].err_path = dir + "/dump" + std::to_string(i) + ".err";
    const int err_fd = open(dumps[i].err_path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    dumps[i].pid = bench::Spawn({self_dir + "/zelk_dump"}, -1, pipe_fds[1], err_fd);
    close(pipe_fds[1]);
    close(err_fd);
    dumps[i].out_fd = pipe_fds[0];
  }
  LatencyProbe probe;
  const auto clients_now = [] { return Info(PM_INFO_CLIENTS); };
  for (int i = 0; i < 1000 && clients_now() < static_cast<std::uint64_t>(monitors + 1); ++i) {
    usleep(10'000);
  }

  // The feeder starts once everyone is on the bus (its own registration included), so every
  // consumer should see every frame it posts.
  constexpr double kWarmUp = 1.0;
  int feeder_out[2];
  if (pipe2(feeder_out, O_CLOEXEC) != 0) return 1;
  char rate_text[32], span_text[32], clients_text[32];
  std::snprintf(rate_text, sizeof rate_text, "%.0f", rate);
  std::snprintf(span_text, sizeof span_text, "%.2f", kWarmUp + seconds + 0.5);
  std::snprintf(clients_text, sizeof clients_text, "%d", monitors + 2);
  const pid_t feeder = bench::Spawn({self_dir + "/bus_feeder", rate_text, span_text, clients_text},
                                    -1, feeder_out[1]);
  close(feeder_out[1]);

  std::uint64_t probe_frames = 0;
  const auto run_for = [&](double span) {
    const auto end = Clock::now() + std::chrono::duration<double>(span);
    auto next_count = Clock::now();
    while (Clock::now() < end) {
      pollfd fd{probe.fd(), POLLIN, 0};
      poll(&fd, 1, 20);
      probe_frames += probe.Drain();
      if (Clock::now() >= next_count) {
        for (auto& d : dumps) d.CountLines();
        next_count = Clock::now() + std::chrono::milliseconds(20);
      }
    }
    for (auto& d : dumps) d.CountLines();
  };
  const auto snapshot = [&] {
    Snapshot s;
    s.companion = bench::CpuSeconds(companion);
    s.feeder = bench::CpuSeconds(feeder);
    s.probe = bench::CpuSeconds(getpid());
    for (auto& d : dumps) {
      s.dumps.push_back(bench::CpuSeconds(d.pid));
      s.dump_lines.push_back(d.lines);
    }
    s.machine = bench::ReadMachineTicks();
    s.probe_frames = probe_frames;
    return s;
  };

  // Wait for the first frame, then warm up.
  for (int i = 0; i < 1000 && probe_frames == 0; ++i) run_for(0.01);
  run_for(kWarmUp);
  probe.latency.Reset();
  const std::uint64_t probe_blocks0 = probe.blocks;
  const double companion_rss0 = bench::ResidentMiB(companion);
  std::vector<double> dump_rss0;
  for (auto& d : dumps) dump_rss0.push_back(bench::ResidentMiB(d.pid));
  const std::string load_before = bench::LoadAverage();
  const Snapshot a = snapshot();
  const auto t0 = Clock::now();
  run_for(seconds);
  const Snapshot b = snapshot();
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  const double companion_rss1 = bench::ResidentMiB(companion);
  std::vector<double> dump_rss1;
  for (auto& d : dumps) dump_rss1.push_back(bench::ResidentMiB(d.pid));
  const std::uint64_t probe_blocks = probe.blocks - probe_blocks0;
  const std::string latency = probe.latency.Describe();

  // Let the feeder finish and the last frames arrive, then count everything.
  int feeder_status = 0;
  while (waitpid(feeder, &feeder_status, WNOHANG) != feeder) run_for(0.05);
  run_for(0.5);
  char feeder_line[512] = {};
  const ssize_t feeder_n = read(feeder_out[0], feeder_line, sizeof feeder_line - 1);
  close(feeder_out[0]);
  unsigned long long posted = 0;
  if (feeder_n > 0) std::sscanf(feeder_line, "bus_feeder: posted %llu", &posted);
  const std::uint64_t lib_backlog = Info(PM_INFO_DROPPED_BLOCKS);
  const std::uint64_t lib_hub = Info(PM_INFO_HUB_DROPS);
  for (auto& d : dumps) {
    bench::StopProcess(d.pid);
    d.CountLines();
    close(d.out_fd);
  }
  bench::StopProcess(companion);
  close(companion_err_fd);

  const auto share = [&](double x, double y) { return 100.0 * (y - x) / elapsed; };
  std::printf(
      "tran_bench --trickle: %.0f frames/s, one per bus message, %d zelk_dump + probe, "
      "%.1f s measured\n",
      rate, monitors, elapsed);
  std::printf(
      "  machine             load average %s before; all processes together %.2f of %ld "
      "cores busy\n",
      load_before.c_str(), bench::BusyCores(a.machine, b.machine), sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("  CPU (%% of a core)   companion %.2f, feeder %.2f, probe %.2f\n",
              share(a.companion, b.companion), share(a.feeder, b.feeder), share(a.probe, b.probe));
  for (std::size_t i = 0; i < dumps.size(); ++i) {
    std::printf(
        "  zelk_dump %zu         CPU %.2f%% of a core; %llu lines while measured "
        "(%.0f/s); %llu of %llu posted frames in all; RSS %.1f -> %.1f MiB\n",
        i, share(a.dumps[i], b.dumps[i]),
        static_cast<unsigned long long>(b.dump_lines[i] - a.dump_lines[i]),
        static_cast<double>(b.dump_lines[i] - a.dump_lines[i]) / elapsed,
        static_cast<unsigned long long>(dumps[i].lines), posted, dump_rss0[i], dump_rss1[i]);
    const std::string err = bench::ReadText(dumps[i].err_path);
    if (!err.empty()) std::printf("      says at exit: %s", err.c_str());
  }
  std::printf(
      "  probe               %llu frames in %llu blocks while measured (%.1f frames a "
      "block); latency post -> fetch %s\n",
      static_cast<unsigned long long>(b.probe_frames - a.probe_frames),
      static_cast<unsigned long long>(probe_blocks),
      probe_blocks
          ? static_cast<double>(b.probe_frames - a.probe_frames) / static_cast<double>(probe_blocks)
          : 0.0,
      latency.c_str());
  std::printf("  probe's library     dropped %llu unfetched blocks, hub dropped %llu for it\n",
              static_cast<unsigned long long>(lib_backlog),
              static_cast<unsigned long long>(lib_hub));
  std::printf("  companion           RSS %.1f -> %.1f MiB; reported: %s\n", companion_rss0,
              companion_rss1, ReportedLines(companion_err).c_str());
  std::printf("  feeder              %s", feeder_n > 0 ? feeder_line : "no summary\n");
  std::filesystem::remove_all(dir);
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // lines in order with the companion's stderr
  if (argc > 1 && std::string(argv[1]) == "--trickle") {
    const std::string self_dir =
        std::filesystem::canonical("/proc/self/exe").parent_path().string();
    return RunTrickle(self_dir, argc > 2 ? std::atof(argv[2]) : 10.0,
                      argc > 3 ? std::atoi(argv[3]) : 1, argc > 4 ? std::atof(argv[4]) : 21300.0);
  }
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  const auto span =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  const std::string self = std::filesystem::canonical("/proc/self/exe").string();
  const std::string tran = std::filesystem::path(self).parent_path() / "zelk_tran";

  // Second-consumer mode: count for the given span and print the count.
  if (argc > 2 && std::string(argv[2]) == "--consumer") {
    Consumer consumer;
    consumer.CountFor(std::chrono::milliseconds(500));
    const double cpu0 = OwnCpuSeconds();
    const std::uint64_t frames = consumer.CountFor(span);
    std::printf("%llu %.3f\n", static_cast<unsigned long long>(frames), OwnCpuSeconds() - cpu0);
    return 0;
  }

  char dir_template[] = "/tmp/tran_bench_XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const std::string bus = dir + "/bus";
  setenv("PELMO_BUS", bus.c_str(), 1);

  const std::uint64_t replay_frames = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 3'000'000;
  std::printf("tran_bench: %.1f s per case; load average %s\n", seconds, LoadAverage().c_str());
  for (const unsigned rate : {1'000'000u, 2'000'000u}) {
    const pid_t companion =
        bench::Spawn({tran, "--foreground", "--bus", bus, "--generate", std::to_string(rate)});
    Consumer consumer;
    const std::uint64_t dropped_before = Info(PM_INFO_DROPPED_BLOCKS) + Info(PM_INFO_HUB_DROPS);
    const Measure m = Run(companion, consumer, span);
    const std::uint64_t dropped =
        Info(PM_INFO_DROPPED_BLOCKS) + Info(PM_INFO_HUB_DROPS) - dropped_before;
    Stop(companion);
    const double fps = static_cast<double>(m.frames) / m.seconds;
    const double millions = static_cast<double>(m.frames) / 1e6;
    std::printf(
        "generate %u/s -> 1 consumer: %.0f frames/s received (%.1f%% of the rate), "
        "blocks dropped %llu; CPU s per million frames: companion %.3f, consumer %.3f\n",
        rate, fps, 100.0 * fps / rate, static_cast<unsigned long long>(dropped),
        m.companion_cpu / millions, m.consumer_cpu / millions);
  }

  // A saturated 1 Mbit/s bus to two consumers (two processes, like two monitors).
  {
    const pid_t companion =
        bench::Spawn({tran, "--foreground", "--bus", bus, "--generate", "21300"});
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return 1;
    const pid_t second = fork();
    if (second == 0) {
      dup2(pipe_fds[1], STDOUT_FILENO);
      execl(self.c_str(), self.c_str(), argv[1] ? argv[1] : "3", "--consumer", nullptr);
      _exit(127);
    }
    close(pipe_fds[1]);
    Consumer consumer;
    const Measure m = Run(companion, consumer, span);
    char line[128] = {};
    const ssize_t n = read(pipe_fds[0], line, sizeof line - 1);
    close(pipe_fds[0]);
    waitpid(second, nullptr, 0);
    Stop(companion);
    unsigned long long second_frames = 0;
    double second_cpu = 0;
    if (n > 0) std::sscanf(line, "%llu %lf", &second_frames, &second_cpu);
    std::printf(
        "generate 21300/s -> 2 consumers: %.0f and %.0f frames/s; companion %.2f%% of a core, "
        "consumer %.2f%% of a core\n",
        static_cast<double>(m.frames) / m.seconds, static_cast<double>(second_frames) / seconds,
        100.0 * m.companion_cpu / m.seconds, 100.0 * m.consumer_cpu / m.seconds);
  }
  BenchFullSpeedReplay(tran, std::filesystem::path(self).parent_path() / "zelk_dump", dir, bus,
                       replay_frames);
  BenchRecordedSpeedReplay(tran, dir, bus);
  std::printf("load average at the end: %s\n", LoadAverage().c_str());
  std::filesystem::remove_all(dir);
  return 0;
}
