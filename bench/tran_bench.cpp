// tran_bench: the companion's generator -> hub -> zelk_dump-style consumers (libpelmo clients
// counting records). Reports frames/s, CPU seconds per million frames of the companion and of
// the consumer, and the companion's share of a core at a saturated 1 Mbit/s bus to two
// consumers.
//
// Usage: tran_bench [SECONDS]     (each case measures for SECONDS, default 3)
// Threads: the main thread fetches and counts; libpelmo's own thread announces blocks.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pelmo.h"

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

  std::printf("tran_bench: %.1f s per case\n", seconds);
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
  std::filesystem::remove_all(dir);
  return 0;
}
