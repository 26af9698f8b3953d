// bus_feeder: frames arriving one at a time, as a real CAN interface hands them over. Posts one
// 16-byte frame record per bus message (one pmPostData each, code 0x20000412), evenly paced.
//
//   bus_feeder RATE SECONDS [CLIENTS]    (the bus from $PELMO_BUS)
//
// Starts once CLIENTS clients (itself included) are on the bus. Each record is extended
// identifier 0x00FEED01 with eight data bytes holding the CLOCK_MONOTONIC nanoseconds of its
// post, so that a consumer can tell how long it took. A refused post (the library's queue is
// full) is posted again after 200 us with a fresh time: nothing is lost. Prints one summary line
// on stdout. SIGTERM ends it early.
// Threads: the main thread posts; libpelmo's I/O thread calls no window of this client (value 0
// routes nothing to it).
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/bench_support.h"
#include "frame/frame_record.h"
#include "pelmo.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }
void IgnoreNotification(void*, std::uint32_t, std::uintptr_t, std::intptr_t) {}

std::uint64_t Info(pm_info_key key) {
  std::uint64_t value = 0;
  pmGetInfo(key, &value);
  return value;
}

timespec AsTimespec(std::uint64_t ns) {
  return {static_cast<time_t>(ns / 1'000'000'000u), static_cast<long>(ns % 1'000'000'000u)};
}

bool WaitFor(pm_info_key key, std::uint64_t at_least, int ms) {
  for (int waited = 0; Info(key) < at_least; waited += 5) {
    if (waited >= ms || g_stop) return false;
    usleep(5000);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bus_feeder RATE SECONDS [CLIENTS]\n");
    return 2;
  }
  const double rate = std::atof(argv[1]);
  const double seconds = std::atof(argv[2]);
  const std::uint64_t clients = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
  if (rate <= 0 || seconds <= 0) return 2;
  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);

  pm_window window{&IgnoreNotification, nullptr};
  if (pmRegister(&window, 0, "bus_feeder") != 1) return 1;
  if (!WaitFor(PM_INFO_CONNECTED, 1, 10000) || !WaitFor(PM_INFO_CLIENTS, clients, 20000)) {
    std::fprintf(stderr, "bus_feeder: the bus never had %llu clients\n",
                 static_cast<unsigned long long>(clients));
    pmUnregister(&window);
    return 1;
  }

  const auto total = static_cast<std::uint64_t>(rate * seconds);
  const double period_ns = 1e9 / rate;
  const std::uint64_t start = bench::MonotonicNs();
  std::uint64_t posted = 0, refused = 0, worst_behind_ns = 0;
  std::uint8_t data[8] = {};
  while (posted < total && !g_stop) {
    const std::uint64_t due =
        start + static_cast<std::uint64_t>(static_cast<double>(posted) * period_ns);
    std::uint64_t now = bench::MonotonicNs();
    if (now < due) {
      const timespec until = AsTimespec(due);
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
      now = bench::MonotonicNs();
    } else {
      worst_behind_ns = std::max(worst_behind_ns, now - due);
    }
    for (;;) {
      std::memcpy(data, &now, sizeof now);
      const frame::FrameRecord record = frame::MakeRecord(bench::kTrickleId, true, data, 8, 0);
      if (pmPostData(&window, 0x20000412u, record.data(), 16) == 1) break;
      ++refused;
      usleep(200);
      if (g_stop) break;
      now = bench::MonotonicNs();
    }
    ++posted;
  }
  const double elapsed = static_cast<double>(bench::MonotonicNs() - start) / 1e9;
  for (int waited = 0; Info(PM_INFO_QUEUED_POSTS) > 0 && waited < 2000; waited += 5) usleep(5000);
  pmUnregister(&window);
  std::printf(
      "bus_feeder: posted %llu in %.2f s (%.0f/s), %llu refused attempts retried, "
      "at most %.2f ms behind schedule\n",
      static_cast<unsigned long long>(posted), elapsed, static_cast<double>(posted) / elapsed,
      static_cast<unsigned long long>(refused), static_cast<double>(worst_behind_ns) / 1e6);
  return 0;
}
