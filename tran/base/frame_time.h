// A frame's time: microseconds since the epoch on the system's real-time clock, the clock of
// the kernel's receive stamps (SO_TIMESTAMP) and of candump's log. Every frame on the bus
// carries one from its source to the monitor's record, the log and socketcand clients.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "frame/frame_record.h"

namespace tran {

using FrameTime = std::int64_t;

inline FrameTime FrameTimeNow() {
  timeval now;
  gettimeofday(&now, nullptr);
  return static_cast<FrameTime>(now.tv_sec) * 1'000'000 + now.tv_usec;
}

inline timeval ToTimeval(FrameTime time) {
  // Floor division, so that a time before the epoch still has 0 <= tv_usec < 1e6.
  FrameTime seconds = time / 1'000'000;
  FrameTime micros = time % 1'000'000;
  if (micros < 0) {
    micros += 1'000'000;
    --seconds;
  }
  return timeval{static_cast<time_t>(seconds), static_cast<suseconds_t>(micros)};
}

// The record's 16-bit millisecond stamp (bytes 14..15): the frame's time in whole
// milliseconds, modulo 65536, so that the monitor's delta between two frames is their gap.
inline void StampRecord(frame::FrameRecord& record, FrameTime time) {
  const FrameTime ms = time >= 0 ? time / 1000 : (time - 999) / 1000;
  const auto stamp = static_cast<std::uint16_t>(static_cast<std::uint64_t>(ms));
  record[14] = static_cast<std::uint8_t>(stamp);
  record[15] = static_cast<std::uint8_t>(stamp >> 8);
}

}  // namespace tran
