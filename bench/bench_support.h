// Helpers shared by the benchmarks that run several processes: CPU and memory of a process from
// /proc, the machine's load, child processes, and latency figures.
//
// Trickle frames (the feeder's, see bench/tran/bus_feeder.cpp) carry the CLOCK_MONOTONIC
// nanoseconds of their post in their eight data bytes, so any consumer can tell how long a frame
// took.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

// The feeder's frames: extended identifier, eight data bytes holding the post time.
inline constexpr std::uint32_t kTrickleId = 0x00FEED01;

inline std::uint64_t MonotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

// The fields of /proc/PID/stat after the command name, numbered as in proc(5) (state is 3).
inline std::vector<std::string> StatFields(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  std::vector<std::string> fields(3);
  if (close == std::string::npos) return fields;
  std::istringstream in(text.substr(close + 2));
  for (std::string field; in >> field;) fields.push_back(field);
  return fields;
}

// User plus system CPU seconds of a process (all its threads) so far; 0 when it is gone.
inline double CpuSeconds(pid_t pid) {
  const std::vector<std::string> f = StatFields(pid);
  if (f.size() <= 15) return 0;
  return static_cast<double>(std::stoull(f[14]) + std::stoull(f[15])) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Resident memory of a process in MiB; 0 when it is gone.
inline double ResidentMiB(pid_t pid) {
  std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
  unsigned long long size = 0, resident = 0;
  if (!(statm >> size >> resident)) return 0;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
         (1024.0 * 1024.0);
}

// Busy and total jiffies of the whole machine (all cores), from /proc/stat.
struct MachineTicks {
  unsigned long long busy = 0, total = 0;
};
inline MachineTicks ReadMachineTicks() {
  std::ifstream stat("/proc/stat");
  std::string cpu;
  MachineTicks t;
  stat >> cpu;
  for (int i = 0; i < 10; ++i) {
    unsigned long long v = 0;
    if (!(stat >> v)) break;
    t.total += v;
    if (i != 3 && i != 4) t.busy += v;  // idle and iowait are not busy
  }
  return t;
}

inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// How busy the machine was between two readings: cores' worth of CPU, all processes together.
inline double BusyCores(const MachineTicks& a, const MachineTicks& b) {
  const double total = static_cast<double>(b.total - a.total);
  if (total <= 0) return 0;
  return static_cast<double>(b.busy - a.busy) / total *
         static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN));
}

// Starts a program; its stdin, stdout and stderr are the given descriptors (-1: inherited).
inline pid_t Spawn(const std::vector<std::string>& args, int in_fd = -1, int out_fd = -1,
                   int err_fd = -1) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (in_fd >= 0) dup2(in_fd, STDIN_FILENO);
    if (out_fd >= 0) dup2(out_fd, STDOUT_FILENO);
    if (err_fd >= 0) dup2(err_fd, STDERR_FILENO);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Sends SIGTERM and waits; returns the exit status, or -1 after a signal or a kill.
inline int StopProcess(pid_t pid, int wait_ms = 5000) {
  if (pid <= 0) return -1;
  kill(pid, SIGTERM);
  int status = 0;
  for (int waited = 0; waitpid(pid, &status, WNOHANG) != pid; waited += 10) {
    if (waited >= wait_ms) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(10'000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A file's whole text ("" when missing).
inline std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Latencies in a fixed histogram (10 us buckets up to 1 s) so that recording never allocates.
class LatencyHistogram {
 public:
  static constexpr std::uint64_t kBucketNs = 10'000;
  static constexpr std::size_t kBuckets = 100'000;

  LatencyHistogram() : buckets_(kBuckets, 0) {}

  void Add(std::uint64_t ns) {
    ++count_;
    max_ns_ = std::max(max_ns_, ns);
    ++buckets_[std::min<std::uint64_t>(ns / kBucketNs, kBuckets - 1)];
  }
  // Records the latency of a trickle record (its post time in data bytes 0..7) seen at now_ns.
  void AddRecord(const std::uint8_t* record, std::uint64_t now_ns) {
    const std::uint32_t id_word =
        static_cast<std::uint32_t>(record[8]) | static_cast<std::uint32_t>(record[9]) << 8 |
        static_cast<std::uint32_t>(record[10]) << 16 | static_cast<std::uint32_t>(record[11]) << 24;
    if ((record[13] & 0x80) == 0 || (id_word >> 3) != kTrickleId) return;
    std::uint64_t posted = 0;
    std::memcpy(&posted, record, sizeof posted);
    Add(now_ns > posted ? now_ns - posted : 0);
  }
  void Reset() {
    std::fill(buckets_.begin(), buckets_.end(), 0);
    count_ = 0;
    max_ns_ = 0;
  }
  std::uint64_t Count() const { return count_; }
  double MaxMs() const { return static_cast<double>(max_ns_) / 1e6; }
  // The median, to the bucket's middle.
  double MedianMs() const { return PercentileMs(50); }
  // The latency that `percent` of the records did not exceed, to the bucket's middle.
  double PercentileMs(double percent) const {
    if (count_ == 0) return 0;
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < kBuckets; ++i) {
      seen += buckets_[i];
      if (static_cast<double>(seen) * 100 >= static_cast<double>(count_) * percent) {
        return (static_cast<double>(i) + 0.5) * kBucketNs / 1e6;
      }
    }
    return MaxMs();
  }
  std::string Describe() const {
    char text[128];
    if (count_ == 0) return "no trickle frames seen";
    std::snprintf(text, sizeof text, "median %.2f ms, max %.2f ms (%llu frames)", MedianMs(),
                  MaxMs(), static_cast<unsigned long long>(count_));
    return text;
  }

 private:
  std::vector<std::uint64_t> buckets_;
  std::uint64_t count_ = 0;
  std::uint64_t max_ns_ = 0;
};

}  // namespace bench
