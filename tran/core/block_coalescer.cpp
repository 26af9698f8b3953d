#include "tran/core/block_coalescer.h"

#include <algorithm>
#include <utility>

namespace tran {

BlockCoalescer::BlockCoalescer(Clock::duration hold, std::size_t max_records, Deliver deliver)
    : hold_(hold),
      max_records_(std::max<std::size_t>(max_records, 1)),
      deliver_(std::move(deliver)) {}

void BlockCoalescer::HandOver(std::span<const frame::FrameRecord> records) {
  for (std::size_t at = 0; at < records.size(); at += max_records_) {
    deliver_(records.subspan(at, std::min(max_records_, records.size() - at)));
  }
}

void BlockCoalescer::Add(std::span<const frame::FrameRecord> records, Clock::time_point now) {
  if (records.empty()) return;
  if (hold_end_ && now >= *hold_end_) {
    // The hold is over but was not ticked yet: these go out with what waits.
    waiting_.insert(waiting_.end(), records.begin(), records.end());
    Tick(now);
    return;
  }
  if (!hold_end_) {
    HandOver(records);
    hold_end_ = now + hold_;
    return;
  }
  waiting_.insert(waiting_.end(), records.begin(), records.end());
  // Full blocks need not wait; the rest keeps the running hold's end.
  const std::size_t full = waiting_.size() / max_records_ * max_records_;
  if (full == 0) return;
  HandOver(std::span(waiting_).first(full));
  waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(full));
}

void BlockCoalescer::Tick(Clock::time_point now) {
  if (!hold_end_ || now < *hold_end_) return;
  if (waiting_.empty()) {
    hold_end_.reset();
    return;
  }
  HandOver(waiting_);
  waiting_.clear();
  hold_end_ = now + hold_;
}

std::optional<BlockCoalescer::Clock::time_point> BlockCoalescer::HoldEnd() const {
  return hold_end_;
}

}  // namespace tran
