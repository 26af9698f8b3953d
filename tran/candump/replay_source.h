// The replay source: a candump -l log played back onto the bus with its recorded timing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tran/can/can_source.h"

namespace tran {

// What one pass over a replayed log found.
struct ReplaySummary {
  std::uint64_t pass = 0;            // 1 for the first pass over the file
  std::uint64_t frames = 0;          // frames played in this pass
  std::uint64_t lines_skipped = 0;   // lines not played: other frame kinds, garbage, truncated
  std::uint64_t first_bad_line = 0;  // line number of the first skipped line; 0 none
  std::string first_bad_reason;      // "CAN FD frame", "truncated last line", ...
  std::string read_error;            // set when reading the file failed; the replay ends
};

// The replay is a virtual bus on which a recording talks: frames clients send are accepted
// and echoed, as on the virtual bus. Frames of every interface in the log go onto the one bus.
//   speed 1     the recorded gaps; speed 2 halves them. A backwards step in the recorded time
//               counts as no gap. Like live traffic, a reader too slow for the rate loses
//               frames (counted by the hub, the server).
//   speed 0     no gaps, and no losses: before each batch the replay waits while
//               consumers_full says a consumer has no room.
//   loop        at the end of the file the next pass starts at once (if the pass played any
//               frame). Without loop the bus stays up with no more traffic from the log.
// Lines it cannot play are skipped and counted; the first is reported when met, and the
// summary of the first pass (and of any pass that fails to read) at its end.
struct ReplayOptions {
  std::string path;
  bool loop = false;
  double speed = 1.0;
  std::function<bool()> ready;           // the replay starts once this holds; null: at once
  std::function<bool()> consumers_full;  // speed 0: wait while this holds; null: never
  std::function<void(const ReplaySummary&)> on_end_of_pass;  // null: nothing beyond the report
  std::size_t read_buffer_bytes = 64 * 1024;  // also the longest line; longer ones are skipped
};
// Start fails (with the reason) when the file cannot be opened or is not a regular file.
std::unique_ptr<CanSource> MakeReplaySource(ReplayOptions options);

}  // namespace tran
