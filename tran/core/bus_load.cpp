#include "tran/core/bus_load.h"

#include <algorithm>

namespace tran {

unsigned FrameBits(const frame::FrameRecord& record) {
  const frame::DecodedRecord decoded = frame::DecodeRecord(record.data());
  return (decoded.extended ? 67u : 47u) + 8u * decoded.shown_length;
}

void BusLoad::Add(std::span<const frame::FrameRecord> records) {
  Quarter& quarter = quarters_[now_];
  quarter.frames += records.size();
  for (const auto& record : records) quarter.bits += FrameBits(record);
}

void BusLoad::Roll() {
  second_ = {};
  for (const auto& quarter : quarters_) {
    second_.frames += quarter.frames;
    second_.bits += quarter.bits;
  }
  peak_frames_ = std::max(peak_frames_, second_.frames);
  peak_bits_ = std::max(peak_bits_, second_.bits);
  now_ = (now_ + 1) % quarters_.size();
  quarters_[now_] = {};
}

}  // namespace tran
