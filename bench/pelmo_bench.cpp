// Throughput of the bus: one producer process and one consumer process through a Hub hosted
// by the benchmark process, in blocks of 1 and of 64 frame records.
//
// Each case runs flat out and paced at the goal rate (100,000 one-record blocks/s; 1,000,000
// frames/s in 64-record blocks). Figures (counters): frames/s and blocks/s end to end, CPU seconds
// per million frames for the hub process and for each client process, and losses (frames that never
// arrived, with where they were dropped).
//
// The producer never loses a block on its side: the library refuses a post while the window's
// queue is full, and the producer posts the same block again after a short pause (the refusals
// are counted as refused_posts). So lost_frames are frames the hub or the consumer's backlog
// dropped for a consumer that fell behind.
//
// Threads: the benchmark thread forks the two clients and waits on their pipes; the Hub's
// thread routes. Each child runs the client library's I/O thread plus its own main thread.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hub/hub.h"
#include "pelmo.h"

namespace {

constexpr std::uint32_t kRecord = 16;
constexpr std::uint32_t kPostCode = 0x20000412;
constexpr auto kRetryPause = std::chrono::milliseconds(1);
constexpr auto kGiveUp = std::chrono::seconds(5);

double CpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::int64_t NowNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

std::uint64_t Info(std::uint32_t key) {
  std::uint64_t v = 0;
  pmGetInfo(key, &v);
  return v;
}

// What a child reports back through its pipe.
struct ChildReport {
  std::int64_t start_ns = 0;
  std::int64_t end_ns = 0;
  double cpu_s = 0;
  std::uint64_t frames = 0;  // posted (producer) or received in order (consumer)
  std::uint64_t out_of_order = 0;
  std::uint64_t dropped =
      0;  // producer: refused (then retried) posts; consumer: backlog + hub drops
  std::uint64_t given_up = 0;  // producer: frames never taken (no progress for kGiveUp)
};

void WriteReport(int fd, const ChildReport& r) {
  [[maybe_unused]] auto n = ::write(fd, &r, sizeof r);
}

bool WaitFor(const std::function<bool()>& cond, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Consumer: hands handles from the post function to its main thread, which fetches each block.
struct Inbox {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::uint32_t> handles;
};

void OnPost(void* context, std::uint32_t message, std::uintptr_t, std::intptr_t lparam) {
  if (message != PM_WM_BUS_NOTIFY) return;
  auto* inbox = static_cast<Inbox*>(context);
  bool wake;
  {
    std::lock_guard lock(inbox->mutex);
    wake = inbox->handles.empty();
    inbox->handles.push_back(static_cast<std::uint32_t>(lparam));
  }
  if (wake) inbox->cv.notify_one();
}

[[noreturn]] void RunConsumer(int report_fd, std::uint64_t frames) {
  Inbox inbox;
  pm_window window{&OnPost, &inbox};
  pmRegister(&window, 0x400, "bench-consumer");
  ChildReport r;
  std::uint64_t next = 0;
  std::vector<std::uint32_t> batch;
  const double cpu0 = CpuSeconds();
  while (next < frames) {
    {
      std::unique_lock lock(inbox.mutex);
      if (!inbox.cv.wait_for(lock, std::chrono::seconds(3),
                             [&] { return !inbox.handles.empty(); })) {
        break;  // nothing more is coming: the rest was lost
      }
      batch.swap(inbox.handles);
    }
    for (std::uint32_t h : batch) {
      std::uint32_t count = 0;
      const auto* p = static_cast<const std::uint8_t*>(pmGetp(h, &count));
      for (std::uint32_t off = 0; p && off + kRecord <= count; off += kRecord) {
        std::uint64_t seq;
        std::memcpy(&seq, p + off, sizeof seq);
        if (seq != next) ++r.out_of_order;
        next = seq + 1;
        ++r.frames;
      }
    }
    batch.clear();
  }
  r.end_ns = NowNs();
  r.cpu_s = CpuSeconds() - cpu0;
  r.dropped = Info(PM_INFO_DROPPED_BLOCKS) + Info(PM_INFO_HUB_DROPS);
  pmUnregister(&window);
  WriteReport(report_fd, r);
  ::_exit(0);
}

// rate: blocks per second, or 0 to post flat out.
[[noreturn]] void RunProducer(int report_fd, std::uint64_t frames, std::uint32_t per_block,
                              std::uint64_t rate) {
  pm_window window{[](void*, std::uint32_t, std::uintptr_t, std::intptr_t) {}, nullptr};
  pmRegister(&window, 0, "bench-producer");
  WaitFor([] { return Info(PM_INFO_CLIENTS) >= 2; }, std::chrono::seconds(10));
  std::vector<std::uint8_t> block(std::size_t{per_block} * kRecord, 0x5A);
  ChildReport r;
  const double cpu0 = CpuSeconds();
  r.start_ns = NowNs();
  const auto t0 = std::chrono::steady_clock::now();
  std::uint64_t blocks = 0;
  for (std::uint64_t seq = 0; seq < frames; ++blocks) {
    if (rate != 0 && blocks % 100 == 0) {
      std::this_thread::sleep_until(t0 + std::chrono::microseconds(blocks * 1000000 / rate));
    }
    for (std::uint32_t i = 0; i < per_block; ++i, ++seq) {
      std::memcpy(block.data() + std::size_t{i} * kRecord, &seq, sizeof seq);
    }
    // Refused while the queue is full: the same block again after a pause, as a producer
    // that must not lose data does.
    const auto give_up = std::chrono::steady_clock::now() + kGiveUp;
    bool taken = false;
    while (!(taken = pmPostData(&window, kPostCode, block.data(),
                                static_cast<std::uint32_t>(block.size())) == 1)) {
      ++r.dropped;
      if (std::chrono::steady_clock::now() >= give_up) break;
      std::this_thread::sleep_for(kRetryPause);
    }
    if (taken) {
      r.frames += per_block;
    } else {
      r.given_up += per_block;
    }
  }
  // Unregistering waits only briefly for the queue; wait here until all of it is on the socket.
  WaitFor([] { return Info(PM_INFO_QUEUED_POSTS) == 0; }, std::chrono::seconds(30));
  pmUnregister(&window);
  r.end_ns = NowNs();
  r.cpu_s = CpuSeconds() - cpu0;
  WriteReport(report_fd, r);
  ::_exit(0);
}

pid_t Fork(int* read_fd, const std::function<void(int)>& child) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    child(fds[1]);
  }
  ::close(fds[1]);
  *read_fd = fds[0];
  return pid;
}

ChildReport Collect(pid_t pid, int fd) {
  ChildReport r;
  if (::read(fd, &r, sizeof r) != static_cast<ssize_t>(sizeof r)) r = ChildReport{};
  ::close(fd);
  ::waitpid(pid, nullptr, 0);
  return r;
}

void BM_BusThroughput(benchmark::State& state) {
  const auto per_block = static_cast<std::uint32_t>(state.range(0));
  const auto frames = static_cast<std::uint64_t>(state.range(1));
  const auto rate = static_cast<std::uint64_t>(state.range(2));
  char dir_pattern[] = "/tmp/pelmo-bench-XXXXXX";
  const std::string path = std::string(::mkdtemp(dir_pattern)) + "/bus";
  ::setenv("PELMO_BUS", path.c_str(), 1);

  for (auto _ : state) {
    pelmo::Hub hub(pelmo::HubOptions{path, 4096});
    if (hub.Start() != pelmo::HubStart::kStarted) {
      state.SkipWithError("hub did not start");
      break;
    }
    const double hub_cpu0 = CpuSeconds();
    int consumer_fd = -1, producer_fd = -1;
    const pid_t consumer = Fork(&consumer_fd, [&](int fd) { RunConsumer(fd, frames); });
    WaitFor([&] { return hub.Stats().clients >= 1; }, std::chrono::seconds(10));
    const pid_t producer =
        Fork(&producer_fd, [&](int fd) { RunProducer(fd, frames, per_block, rate); });
    const ChildReport prod = Collect(producer, producer_fd);
    const ChildReport cons = Collect(consumer, consumer_fd);
    const double hub_cpu = CpuSeconds() - hub_cpu0;
    const pelmo::HubStats stats = hub.Stats();
    hub.Stop();

    const double seconds = static_cast<double>(cons.end_ns - prod.start_ns) / 1e9;
    state.SetIterationTime(seconds);
    const double mframes = static_cast<double>(frames) / 1e6;
    state.counters["frames_per_s"] = static_cast<double>(cons.frames) / seconds;
    state.counters["blocks_per_s"] = static_cast<double>(cons.frames) / per_block / seconds;
    state.counters["hub_cpu_s_per_Mframe"] = hub_cpu / mframes;
    state.counters["producer_cpu_s_per_Mframe"] = prod.cpu_s / mframes;
    state.counters["consumer_cpu_s_per_Mframe"] = cons.cpu_s / mframes;
    state.counters["lost_frames"] = static_cast<double>(frames - cons.frames);
    state.counters["out_of_order"] = static_cast<double>(cons.out_of_order);
    state.counters["refused_posts"] = static_cast<double>(prod.dropped);
    state.counters["producer_gave_up_frames"] = static_cast<double>(prod.given_up);
    state.counters["hub_dropped_blocks"] = static_cast<double>(stats.blocks_dropped);
    state.counters["client_dropped_blocks"] = static_cast<double>(cons.dropped);
  }
  ::unlink(path.c_str());
  ::unlink((path + ".lock").c_str());
  ::rmdir(path.substr(0, path.size() - 4).c_str());
}

// Flat out (rate 0): the most the bus carries, and what a consumer that falls behind loses.
// Paced: the goal rates, where a consumer keeps up and nothing may be lost.
BENCHMARK(BM_BusThroughput)
    ->ArgNames({"records_per_block", "frames", "blocks_per_s_target"})
    ->Args({1, 500000, 0})
    ->Args({1, 500000, 100000})
    ->Args({64, 8000000, 0})
    ->Args({64, 4000000, 15625})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
