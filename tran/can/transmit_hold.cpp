#include "tran/can/transmit_hold.h"

#include <algorithm>
#include <cstring>

#include "frame/can_frame_conv.h"

namespace tran {

namespace {

// Frames in flight beyond this are forgotten oldest first: their echoes are not coming (a
// kernel that does not echo, or a queue flushed by the driver).
constexpr std::size_t kMaxInFlight = 4096;

bool SameFrame(const can_frame& a, const can_frame& b) {
  return a.can_id == b.can_id && a.len == b.len && a.len8_dlc == b.len8_dlc &&
         std::memcmp(a.data, b.data, std::min<std::size_t>(a.len, CAN_MAX_DLEN)) == 0;
}

}  // namespace

std::size_t TransmitHold::Add(std::span<const frame::FrameRecord> records, std::uint64_t origin) {
  const std::size_t taken =
      std::min(records.size(), capacity_ - std::min(capacity_, waiting_.size()));
  for (std::size_t i = 0; i < taken; ++i)
    waiting_.push_back({frame::ToCanFrame(records[i]), origin});
  return taken;
}

void TransmitHold::FrontWritten() {
  in_flight_.push_back(waiting_.front());
  waiting_.pop_front();
  if (in_flight_.size() > kMaxInFlight) in_flight_.pop_front();
}

std::size_t TransmitHold::DropWaiting() {
  const std::size_t dropped = waiting_.size();
  waiting_.clear();
  return dropped;
}

std::uint64_t TransmitHold::TakeEcho(const can_frame& echo) {
  const auto match = std::find_if(in_flight_.begin(), in_flight_.end(),
                                  [&](const Entry& entry) { return SameFrame(entry.frame, echo); });
  if (match == in_flight_.end()) return 0;
  const std::uint64_t origin = match->origin;
  in_flight_.erase(in_flight_.begin(), match + 1);
  return origin;
}

}  // namespace tran
