// Puts a remote socketcand daemon's frame times onto the local clock.
//
// The remote stamps each frame with its kernel's receive time, on its own clock. Mapped here,
// the gaps between its frames stay the remote's gaps: the offset between the clocks is the
// smallest (arrival - remote time) seen, the frame that came with the least delay (of a batch
// read at once, the last), so no frame is placed after its arrival. If the mapped times fall
// more than kMaxLag behind the arrivals (the remote's clock runs slow or was set back, or the
// link stalled), the offset is taken anew. Mapped times never go backwards, and never before
// a time given to Floor (frames this end put on the bus meanwhile), so the monitor never sees
// a negative gap.
//
// Threads: the event loop thread only.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "tran/base/frame_time.h"

namespace tran {

class RemoteClock {
 public:
  static constexpr FrameTime kMaxLag = 100'000;  // microseconds

  // Appends to `out` the local times of frames the remote stamped `remote` (nullopt: it gave
  // none, and the frame gets its arrival) that arrived together at `arrival`.
  void Map(std::span<const std::optional<FrameTime>> remote, FrameTime arrival,
           std::vector<FrameTime>& out);
  // No frame is placed before `time` from now on.
  void Floor(FrameTime time);
  // A new connection: the remote may be another machine.
  void Reset();

 private:
  std::optional<FrameTime> offset_;
  FrameTime last_ = 0;
};

}  // namespace tran
