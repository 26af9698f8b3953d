// Cost of the frame logic at bus rate. A saturated 1 Mbit/s bus carries about 21,300
// frames/s, so one 400 ms flush tick collects about 8,500 lines.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "frame/memory_log_view.h"
#include "frame/receive_log.h"
#include "frame/send_line.h"

namespace {

constexpr int kLinesPerTick = 8500;
constexpr std::size_t kPendingCap = 1 << 20;

const frame::FrameRecord kDefaultRecord = [] {
  frame::FrameRecord rec = frame::EncodeSendLine("115599 00 22 99 00 00 11 33 33");
  rec[14] = 0x34;
  rec[15] = 0x12;
  return rec;
}();

// The owner's state around a view, as the window keeps it.
struct Monitor : frame::ReceiveLogState {
  frame::MemoryLogView view;

  void Show(const frame::FrameRecord& rec) { frame::ShowRecord(Context(view), rec.data()); }
};

void BM_EncodeSendLine(benchmark::State& state) {
  const std::string line = "115599 00 22 99 00 00 11 33 33";
  for (auto _ : state) {
    benchmark::DoNotOptimize(frame::EncodeSendLine(line));
  }
}
BENCHMARK(BM_EncodeSendLine);

void BM_ShowRecordShown(benchmark::State& state) {
  frame::PendingText().clear();
  Monitor m;
  for (auto _ : state) {
    m.Show(kDefaultRecord);
    // Without flushes the pending text grows; emptying it keeps its buffer (amortised away).
    if (frame::PendingText().size() > kPendingCap) frame::PendingText().clear();
  }
  frame::PendingText().clear();
}
BENCHMARK(BM_ShowRecordShown);

void BM_ShowRecordFiltered(benchmark::State& state) {
  frame::PendingText().clear();
  Monitor m;
  m.SetFilter("7FF");
  for (auto _ : state) m.Show(kDefaultRecord);
}
BENCHMARK(BM_ShowRecordFiltered);

// Fills the view to its limit and collects one tick's worth of lines, minus the last.
void PrepareFullTick(Monitor& m) {
  frame::PendingText().clear();
  m.view.SetSel(0, -1);
  m.view.ReplaceSel(std::string(frame::kLogTextLimit, 'x'));
  m.line_no = 5000;
  m.flush_due = false;
  for (int i = 0; i < kLinesPerTick - 1; ++i) m.Show(kDefaultRecord);
}

// The one shown record after a tick that writes ~8,500 pending lines into a full view.
void BM_FlushSaturatedTick(benchmark::State& state) {
  Monitor m;
  for (auto _ : state) {
    state.PauseTiming();
    PrepareFullTick(m);
    m.flush_due = true;
    state.ResumeTiming();
    m.Show(kDefaultRecord);
  }
  frame::PendingText().clear();
}
BENCHMARK(BM_FlushSaturatedTick)->Unit(benchmark::kMicrosecond);

// All the receive work of one 400 ms tick on a saturated bus: 8,500 records and the flush.
void BM_WholeSaturatedTick(benchmark::State& state) {
  Monitor m;
  PrepareFullTick(m);
  frame::PendingText().clear();
  for (auto _ : state) {
    for (int i = 0; i < kLinesPerTick - 1; ++i) m.Show(kDefaultRecord);
    m.flush_due = true;
    m.Show(kDefaultRecord);
  }
  state.SetItemsProcessed(state.iterations() * kLinesPerTick);
  frame::PendingText().clear();
}
BENCHMARK(BM_WholeSaturatedTick)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
