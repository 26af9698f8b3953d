#include "tran/socketcand/remote_clock.h"

#include <algorithm>

namespace tran {

void RemoteClock::Map(std::span<const std::optional<FrameTime>> remote, FrameTime arrival,
                      std::vector<FrameTime>& out) {
  std::optional<FrameTime> least;  // the least delay in this batch
  for (const auto& time : remote) {
    if (time && (!least || arrival - *time < *least)) least = arrival - *time;
  }
  if (least && (!offset_ || *least < *offset_ || *least - *offset_ > kMaxLag)) offset_ = least;
  for (const auto& time : remote) {
    last_ = std::max(last_, time ? *time + *offset_ : arrival);
    out.push_back(last_);
  }
}

void RemoteClock::Floor(FrameTime time) { last_ = std::max(last_, time); }

void RemoteClock::Reset() { offset_.reset(); }

}  // namespace tran
