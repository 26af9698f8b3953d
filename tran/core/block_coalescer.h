// Gathers frames that reach the bus close together into one block.
//
// A frame on an idle bus goes out at once. Each time it hands over what it holds, the
// coalescer starts a hold of `hold`: frames arriving during it wait, and go out together when
// it ends (or as soon as a full block of max_records has gathered). A hold that ends with
// nothing waiting leaves the bus idle again. So no frame waits longer than `hold`, and a
// steady trickle becomes one block per hold.
//
//   hold 2 ms, frames at 0, 0.05, 0.10 ... ms: block [0] at 0, then blocks at 2, 4, 6 ... ms
//   hold 2 ms, one frame at 0 and the next at 5 ms: each alone, at once
//
// Time is passed in, so the rules are tested without a clock. Not thread-safe: the owner's
// thread (the companion's event loop) calls everything.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "frame/frame_record.h"

namespace tran {

class BlockCoalescer {
 public:
  using Clock = std::chrono::steady_clock;
  // Receives one block: at least one record, at most max_records.
  using Deliver = std::function<void(std::span<const frame::FrameRecord> block)>;

  BlockCoalescer(Clock::duration hold, std::size_t max_records, Deliver deliver);

  // Frames arriving at `now`: out at once when no hold runs, else kept for its end.
  void Add(std::span<const frame::FrameRecord> records, Clock::time_point now);
  // At or after HoldEnd(): hands over what waits and starts the next hold, or ends the hold
  // when nothing waits. Before HoldEnd() it does nothing.
  void Tick(Clock::time_point now);

  // The end of the running hold; nullopt while the bus is idle.
  std::optional<Clock::time_point> HoldEnd() const;
  std::size_t Waiting() const { return waiting_.size(); }

 private:
  void HandOver(std::span<const frame::FrameRecord> records);

  Clock::duration hold_;
  std::size_t max_records_;
  Deliver deliver_;
  std::optional<Clock::time_point> hold_end_;
  std::vector<frame::FrameRecord> waiting_;
};

}  // namespace tran
