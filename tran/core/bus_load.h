// The bus load: frames and bits on the bus over the last second, and the peak since start.
//
// A frame's length is counted from its fields without stuff bits: 47 bits for a standard
// frame and 67 for an extended one (start, arbitration, control, CRC, acknowledgement, end
// of frame and the 3-bit intermission), plus 8 per data byte. Stuffing adds up to about a
// fifth more, depending on the data, so the load shown is a lower bound.
//
// The second is kept as four quarters; Roll() moves to the next quarter and is called every
// kQuarter by the owner.
//
// Threads: the event loop thread only.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>

#include "frame/frame_record.h"

namespace tran {

// Bits a frame takes on the bus, without stuff bits.
unsigned FrameBits(const frame::FrameRecord& record);

class BusLoad {
 public:
  static constexpr std::chrono::milliseconds kQuarter{250};

  void Add(std::span<const frame::FrameRecord> records);
  void Roll();

  // The four quarters completed last.
  std::uint64_t FramesLastSecond() const { return second_.frames; }
  std::uint64_t BitsLastSecond() const { return second_.bits; }
  std::uint64_t PeakFrames() const { return peak_frames_; }
  std::uint64_t PeakBits() const { return peak_bits_; }

 private:
  struct Quarter {
    std::uint64_t frames = 0;
    std::uint64_t bits = 0;
  };
  std::array<Quarter, 4> quarters_{};  // the current one at index now_
  std::size_t now_ = 0;
  Quarter second_;
  std::uint64_t peak_frames_ = 0;
  std::uint64_t peak_bits_ = 0;
};

}  // namespace tran
