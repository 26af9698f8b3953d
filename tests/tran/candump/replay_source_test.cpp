// The replay source on an event loop thread: timing, speed, loop, skipped lines, the gates
// (ready, consumers_full) and flat memory on a large log.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>

#include "tests/tran/test_support.h"
#include "tran/can/can_source.h"
#include "tran/candump/candump_log.h"
#include "tran/candump/replay_source.h"

namespace tran {
namespace {

using namespace test;
using Clock = std::chrono::steady_clock;

frame::FrameRecord Numbered(std::uint32_t n) {
  return Rec(0x100 + (n & 0xFF), n % 2 == 1, {static_cast<std::uint8_t>(n), 0x22});
}

// A log line of our own writer for frame Numbered(n) at `seconds`.
std::string Line(std::uint32_t n, double seconds, const char* iface = "can3") {
  std::string line;
  const auto whole = static_cast<long>(seconds);
  AppendCandumpLine(line, Numbered(n),
                    timeval{whole, static_cast<long>(std::lround((seconds - whole) * 1e6))}, iface);
  return line;
}

// Peak resident memory of this process in KiB.
long PeakRssKib() {
  std::istringstream status(ReadFile("/proc/self/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return -1;
}

class replay_source : public ::testing::Test {
 protected:
  void TearDown() override {
    if (source_) {
      loop_.RunOnLoop([this] {
        source_->Stop();
        source_.reset();
      });
    }
  }
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  void Start(ReplayOptions options) {
    options.path = path_;
    options.on_end_of_pass = [this](const ReplaySummary& summary) {
      std::lock_guard lock(mutex_);
      summaries_.push_back(summary);
    };
    source_ = MakeReplaySource(std::move(options));
    std::string error;
    ASSERT_TRUE(loop_.RunOnLoop([&] {
      return source_->Start(
          loop_.loop(),
          [this](std::span<const frame::FrameRecord> records, std::span<const FrameTime> times) {
            const auto now = Clock::now();
            std::lock_guard lock(mutex_);
            count_ += records.size();
            if (!keep_) return;
            for (std::size_t i = 0; i < records.size(); ++i) {
              arrivals_.push_back({records[i], now, times[i]});
            }
          },
          &error);
    })) << error;
  }
  std::size_t Count() {
    std::lock_guard lock(mutex_);
    return count_;
  }
  std::vector<frame::FrameRecord> Records(std::size_t at_least) {
    WaitFor([&] { return Count() >= at_least; });
    std::lock_guard lock(mutex_);
    std::vector<frame::FrameRecord> out;
    for (const auto& a : arrivals_) out.push_back(a.record);
    return out;
  }
  std::vector<ReplaySummary> Summaries(std::size_t at_least) {
    WaitFor([&] {
      std::lock_guard lock(mutex_);
      return summaries_.size() >= at_least;
    });
    std::lock_guard lock(mutex_);
    return summaries_;
  }

  struct Arrival {
    frame::FrameRecord record;
    Clock::time_point at;
    FrameTime time;  // the frame's time on the bus
  };
  TempDir dir_;
  const std::string path_ = dir_ / "bus.log";
  LoopThread loop_;
  std::unique_ptr<CanSource> source_;
  std::mutex mutex_;
  bool keep_ = true;  // guarded by mutex_ once started
  std::size_t count_ = 0;
  std::vector<Arrival> arrivals_;
  std::vector<ReplaySummary> summaries_;
};

// The bounds on arrival are tolerant on purpose: a frame is never early, but a loaded machine
// delays a timer by more than a few ms now and then (tran_bench measures the real timing
// error). The frames' times are their schedule: the recorded gaps, exactly.
TEST_F(replay_source, keeps_the_recorded_gaps_scaled_by_speed) {
  for (const double speed : {1.0, 2.0}) {
    SCOPED_TRACE(speed);
    TearDown();
    arrivals_.clear();
    count_ = 0;
    // 200 ms, then two frames at one time, a step back in time (no gap), then 50 ms.
    Write(Line(1, 10.0) + Line(2, 10.2) + Line(3, 10.2) + Line(4, 9.0) + Line(5, 9.05));
    ReplayOptions options;
    options.speed = speed;
    Start(options);
    const auto records = Records(5);
    ASSERT_EQ(records.size(), 5u);
    for (std::uint32_t i = 0; i < 5; ++i) EXPECT_EQ(records[i], Numbered(i + 1));
    const double expected_ms[] = {200, 0, 0, 50};
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(arrivals_[i + 1].time - arrivals_[i].time,
                static_cast<FrameTime>(expected_ms[i] * 1000 / speed))
          << "time gap " << i;
      const double gap =
          std::chrono::duration<double, std::milli>(arrivals_[i + 1].at - arrivals_[i].at).count();
      const double want = expected_ms[i] / speed;
      EXPECT_GE(gap, want - 1.0) << "gap " << i;
      EXPECT_LE(gap, want + 25.0) << "gap " << i;
    }
  }
}

TEST_F(replay_source, plays_at_once_at_speed_0_and_waits_for_its_gates) {
  std::string text = Line(0, 100.0);
  for (std::uint32_t n = 1; n < 10000; ++n) text += Line(n, 100.0 + 3600.0 * n);  // hours apart
  Write(text);
  std::atomic<bool> ready{false};
  std::atomic<std::size_t> room{300};
  ReplayOptions options;
  options.speed = 0;
  options.ready = [&] { return ready.load(); };
  options.consumers_full = [&] { return Count() >= room.load(); };
  Start(options);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(Count(), 0u) << "played before it was ready";
  ready = true;
  ASSERT_TRUE(WaitFor([&] { return Count() >= 300; }));
  std::this_thread::sleep_for(50ms);
  // It looks for room before each batch of at most 256 frames.
  EXPECT_LT(Count(), 300u + 256u) << "played on while the consumers were full";
  room = std::numeric_limits<std::size_t>::max();
  const auto records = Records(10000);
  ASSERT_EQ(records.size(), 10000u);
  for (std::uint32_t n = 0; n < 10000; ++n) ASSERT_EQ(records[n], Numbered(n)) << n;
}

TEST_F(replay_source, loops_over_the_file_and_summarises_each_pass) {
  Write(Line(1, 5.0) + "garbage\n" + Line(2, 5.1) + Line(3, 5.2));
  ReplayOptions options;
  options.speed = 0;
  options.loop = true;
  Start(options);
  const auto summaries = Summaries(3);
  const auto records = Records(9);
  ASSERT_GE(records.size(), 9u);
  for (std::size_t i = 0; i < 9; ++i) {
    EXPECT_EQ(records[i], Numbered(static_cast<std::uint32_t>(i % 3 + 1))) << i;
  }
  ASSERT_GE(summaries.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(summaries[i].pass, i + 1);
    EXPECT_EQ(summaries[i].frames, 3u);
    EXPECT_EQ(summaries[i].lines_skipped, 1u);
    EXPECT_EQ(summaries[i].first_bad_line, 2u);
  }
}

TEST_F(replay_source, a_loop_over_a_file_without_frames_stops) {
  Write("(1.0) vcan0 123##1\n");
  ReplayOptions options;
  options.loop = true;
  Start(options);
  ASSERT_EQ(Summaries(1).size(), 1u);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Summaries(1).size(), 1u) << "looped over a file with nothing to play";
  EXPECT_EQ(Count(), 0u);
}

// Files with each kind of line it cannot play, read through a small buffer so lines also
// straddle refills. Blank lines are not counted.
TEST_F(replay_source, skips_and_counts_lines_it_cannot_play) {
  const std::string good = Line(1, 1.0) + Line(2, 1.0);
  const std::string too_long = "(1.000000) vcan0 123#" + std::string(80, '1') + "\n";
  struct Case {
    std::string text;
    std::uint64_t skipped;
    std::uint64_t first_bad_line;
    const char* reason;
  };
  const Case cases[] = {
      {good, 0, 0, ""},
      {"", 0, 0, ""},
      {"\n  \n" + good, 0, 0, ""},
      {Line(1, 1.0) + "(1.000000) vcan0 123##1AABB\n" + Line(2, 1.0), 1, 2, "CAN FD frame"},
      {Line(1, 1.0) + "(1.000000) vcan0 123#R\n" + Line(2, 1.0), 1, 2, "remote frame"},
      {Line(1, 1.0) + Line(2, 1.0) + "(1.0) vcan0 20000080#0000000000000000\n", 1, 3,
       "error frame"},
      {"\x01\xff garbage\n" + good, 1, 1, "not a candump line"},
      {Line(1, 1.0) + too_long + Line(2, 1.0), 1, 2, "line too long"},
      {good + "(1.000000) vcan0 123#11", 1, 3, "truncated last line"},
      {good + too_long.substr(0, too_long.size() - 1), 1, 3, "line too long"},
      {"(1.0) vcan0 123#R\n" + Line(1, 1.0) + "x\n(1.0) vcan0 123##1\n" + Line(2, 1.0) + "y", 4, 1,
       "remote frame"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TearDown();
    arrivals_.clear();
    summaries_.clear();
    count_ = 0;
    Write(c.text);
    ReplayOptions options;
    options.speed = 0;
    options.read_buffer_bytes = 64;
    Start(options);
    const auto summaries = Summaries(1);
    ASSERT_EQ(summaries.size(), 1u);
    const bool has_frames = c.text.find("can3") != std::string::npos;
    const std::vector<frame::FrameRecord> played =
        has_frames ? std::vector{Numbered(1), Numbered(2)} : std::vector<frame::FrameRecord>{};
    EXPECT_EQ(Records(0), played);
    EXPECT_EQ(summaries[0].frames, has_frames ? 2u : 0u);
    EXPECT_EQ(summaries[0].lines_skipped, c.skipped);
    EXPECT_EQ(summaries[0].first_bad_line, c.first_bad_line);
    EXPECT_EQ(summaries[0].first_bad_reason, c.reason);
    EXPECT_EQ(loop_.RunOnLoop([&] { return source_->Counters().rx_malformed; }), c.skipped);
    EXPECT_EQ(loop_.RunOnLoop([&] { return source_->LogName(); }), has_frames ? "can3" : "vcan0");
  }
}

TEST_F(replay_source, streams_a_million_lines_in_flat_memory) {
  constexpr std::uint32_t kLines = 1'000'000;
  {
    std::ofstream out(path_, std::ios::binary);
    for (std::uint32_t n = 0; n < kLines; ++n) out << Line(n, 1700000000.0 + n * 1e-4);
  }
  const auto file_kib = static_cast<long>(std::filesystem::file_size(path_) / 1024);
  keep_ = false;
  const long before = PeakRssKib();
  ReplayOptions options;
  options.speed = 0;
  Start(options);
  const auto summaries = Summaries(1);
  ASSERT_EQ(summaries.size(), 1u);
  EXPECT_EQ(summaries[0].frames, kLines);
  EXPECT_EQ(Count(), kLines);
  const long growth = PeakRssKib() - before;
  EXPECT_LT(growth, file_kib / 8) << "peak memory grew by " << growth << " KiB for a " << file_kib
                                  << " KiB log";
}

}  // namespace
}  // namespace tran
