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
// Threads: the main thread fetches and counts; libpelmo's own thread announces blocks.
#include <fcntl.h>
#include <signal.h>
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

#include "frame/frame_record.h"
#include "pelmo.h"
#include "tran/candump_log.h"
#include "tran/frame_generator.h"

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

// A zelk_dump-style consumer: fetches every announced frame block and counts its records.
class Consumer {
 public:
  Consumer() {
    window_.post = &Consumer::OnPost;
    window_.context = this;
    pmRegister(&window_, PM_CODE_ROUTE, "tran_bench");
  }
  ~Consumer() { pmUnregister(&window_); }
  // Fetches what is pending; returns the records counted.
  std::uint64_t Drain() {
    {
      std::lock_guard lock(mutex_);
      handles_.swap(work_);
    }
    std::uint64_t records = 0;
    for (const auto& [code, handle] : work_) {
      if ((code & 0x100004FF) != 0x10000412) continue;
      std::uint32_t size = 0;
      if (pmGetp(handle, &size)) records += size / 16;
    }
    work_.clear();
    return records;
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
  static void OnPost(void* context, std::uint32_t message, std::uintptr_t wparam,
                     std::intptr_t lparam) {
    if (message != PM_WM_BUS_NOTIFY) return;
    auto* self = static_cast<Consumer*>(context);
    std::lock_guard lock(self->mutex_);
    self->handles_.emplace_back(static_cast<std::uint32_t>(wparam),
                                static_cast<std::uint32_t>(lparam & 0xFFFFFFFF));
  }
  pm_window window_{};
  std::mutex mutex_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> handles_, work_;
};

std::uint64_t Info(pm_info_key key) {
  std::uint64_t value = 0;
  pmGetInfo(key, &value);
  return value;
}

pid_t Spawn(const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
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
  TimingConsumer() {
    window_.post = &TimingConsumer::OnPost;
    window_.context = this;
    pmRegister(&window_, PM_CODE_ROUTE, "tran_bench");
  }
  ~TimingConsumer() { pmUnregister(&window_); }
  // Arrival times of the first `count` frames, or fewer after the deadline.
  std::vector<Clock::time_point> Collect(std::size_t count, Clock::duration limit) {
    std::vector<Clock::time_point> arrivals;
    const auto end = Clock::now() + limit;
    while (arrivals.size() < count && Clock::now() < end) {
      std::vector<Note> work;
      {
        std::lock_guard lock(mutex_);
        work.swap(notes_);
      }
      for (const Note& n : work) {
        if ((n.code & 0x100004FF) != 0x10000412) continue;
        std::uint32_t size = 0;
        if (!pmGetp(n.handle, &size)) continue;
        for (std::uint32_t i = 0; i < size / 16; ++i) arrivals.push_back(n.at);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return arrivals;
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
    auto* self = static_cast<TimingConsumer*>(context);
    std::lock_guard lock(self->mutex_);
    self->notes_.push_back(
        {static_cast<std::uint32_t>(wparam), static_cast<std::uint32_t>(lparam & 0xFFFFFFFF), now});
  }
  pm_window window_{};
  std::mutex mutex_;
  std::vector<Note> notes_;
};

// --speed 0 into one zelk_dump writing to /dev/null: the replay starts when zelk_dump joins,
// and zelk_dump -n FRAMES ends only once every frame has been shown.
void BenchFullSpeedReplay(const std::string& tran, const std::string& dump, const std::string& dir,
                          const std::string& bus, std::uint64_t frames) {
  const std::string log = dir + "/full.log";
  WriteLog(log, frames, [](std::uint64_t) { return 100; });
  const pid_t companion =
      Spawn({tran, "--foreground", "--bus", bus, "--replay", log, "--speed", "0"});
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
  const pid_t companion = Spawn({tran, "--foreground", "--bus", bus, "--replay", log});
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

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // lines in order with the companion's stderr
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
        Spawn({tran, "--foreground", "--bus", bus, "--generate", std::to_string(rate)});
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
    const pid_t companion = Spawn({tran, "--foreground", "--bus", bus, "--generate", "21300"});
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
