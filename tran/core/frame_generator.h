// Generates frames like can-utils' cangen: random standard and extended ids, lengths 0..8
// and data, from a deterministic PRNG so that runs repeat. GeneratorPacer turns a rate into
// batch sizes by elapsed time, so high rates go out in batches rather than one timer per frame.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "frame/frame_record.h"

namespace tran {

class FrameGenerator {
 public:
  explicit FrameGenerator(std::uint64_t seed = 0x5EED);
  frame::FrameRecord Next();

 private:
  std::uint64_t NextRandom();
  std::uint64_t state_;
};

class GeneratorPacer {
 public:
  using Clock = std::chrono::steady_clock;
  // At most this much lag is made up after a stall, so a paused process does not burst.
  static constexpr std::chrono::milliseconds kMaxCatchUp{100};

  GeneratorPacer(std::uint64_t rate, Clock::time_point start);
  // Frames due at `now` that have not been produced yet; marks them produced.
  std::uint64_t TakeDue(Clock::time_point now);
  // When the next frame falls due.
  Clock::time_point NextDue() const;

 private:
  std::uint64_t rate_;
  Clock::time_point start_;
  std::uint64_t produced_ = 0;
};

}  // namespace tran
