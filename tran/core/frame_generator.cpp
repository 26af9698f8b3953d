#include "tran/core/frame_generator.h"

namespace tran {

FrameGenerator::FrameGenerator(std::uint64_t seed) : state_(seed) {}

// splitmix64: fast, and every seed gives a good sequence.
std::uint64_t FrameGenerator::NextRandom() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

frame::FrameRecord FrameGenerator::Next() {
  const std::uint64_t bits = NextRandom();
  const bool extended = (bits & 1) != 0;
  const auto length = static_cast<std::uint8_t>((bits >> 1) % 9);
  const auto id = static_cast<std::uint32_t>(bits >> 8) &
                  (extended ? frame::kMaxExtendedId : frame::kMaxStandardId);
  const std::uint64_t payload = NextRandom();
  std::uint8_t data[8];
  for (int i = 0; i < 8; ++i) data[i] = static_cast<std::uint8_t>(payload >> (8 * i));
  return frame::MakeRecord(id, extended, data, length, 0);
}

GeneratorPacer::GeneratorPacer(std::uint64_t rate, Clock::time_point start)
    : rate_(rate), start_(start) {}

namespace {

// Frames due after `elapsed` at `rate` per second, without overflowing 64 bits.
std::uint64_t FramesIn(std::chrono::nanoseconds elapsed, std::uint64_t rate) {
  if (elapsed.count() <= 0) return 0;
  const auto ns = static_cast<std::uint64_t>(elapsed.count());
  return ns / 1'000'000'000 * rate + ns % 1'000'000'000 * rate / 1'000'000'000;
}

}  // namespace

std::uint64_t GeneratorPacer::TakeDue(Clock::time_point now) {
  if (rate_ == 0 || now <= start_) return 0;
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_);
  // Skip frames that fell due longer ago than the catch-up window.
  const std::uint64_t floor_due = FramesIn(elapsed - kMaxCatchUp, rate_);
  if (produced_ < floor_due) produced_ = floor_due;
  const std::uint64_t due = FramesIn(elapsed, rate_);
  const std::uint64_t take = due > produced_ ? due - produced_ : 0;
  produced_ += take;
  return take;
}

GeneratorPacer::Clock::time_point GeneratorPacer::NextDue() const {
  if (rate_ == 0) return Clock::time_point::max();
  // The smallest time at which FramesIn reaches produced_ + 1.
  const std::uint64_t n = produced_ + 1;
  const std::uint64_t seconds = n / rate_;
  const std::uint64_t rest_ns = ((n % rate_) * 1'000'000'000 + rate_ - 1) / rate_;
  const auto ns = std::chrono::seconds(seconds) + std::chrono::nanoseconds(rest_ns);
  return start_ + std::chrono::duration_cast<Clock::duration>(ns);
}

}  // namespace tran
