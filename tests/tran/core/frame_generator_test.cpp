#include "tran/core/frame_generator.h"

#include <gtest/gtest.h>

#include <set>

namespace tran {
namespace {

TEST(frame_generator, repeats_and_mixes_ids_and_lengths) {
  FrameGenerator a(7), b(7), c(8);
  std::set<int> lengths;
  int extended = 0;
  bool differs = false;
  for (int i = 0; i < 2000; ++i) {
    const auto ra = a.Next();
    EXPECT_EQ(ra, b.Next());
    differs |= ra != c.Next();
    const auto rec = frame::DecodeRecord(ra.data());
    lengths.insert(rec.length_code);
    extended += rec.extended;
    EXPECT_LE(rec.identifier, rec.extended ? frame::kMaxExtendedId : frame::kMaxStandardId);
    for (int k = rec.length_code; k < 8; ++k) EXPECT_EQ(ra[k], 0) << "byte beyond the length";
  }
  EXPECT_TRUE(differs);
  EXPECT_EQ(lengths.size(), 9u);  // 0..8
  EXPECT_GT(extended, 800);
  EXPECT_LT(extended, 1200);
}

TEST(generator_pacer, hands_out_frames_by_elapsed_time) {
  using namespace std::chrono;
  const auto t0 = GeneratorPacer::Clock::time_point{} + hours(1);
  GeneratorPacer pacer(1'000'000, t0);
  EXPECT_EQ(pacer.TakeDue(t0), 0u);
  EXPECT_EQ(pacer.TakeDue(t0 + milliseconds(1)), 1000u);
  EXPECT_EQ(pacer.TakeDue(t0 + milliseconds(1)), 0u);
  EXPECT_EQ(pacer.TakeDue(t0 + milliseconds(51)), 50'000u);
  // After a long stall only the catch-up window is made up.
  EXPECT_EQ(
      pacer.TakeDue(t0 + seconds(10) + milliseconds(51)),
      static_cast<std::uint64_t>(duration_cast<microseconds>(GeneratorPacer::kMaxCatchUp).count()));

  GeneratorPacer slow(3, t0);
  EXPECT_EQ(slow.NextDue(), t0 + nanoseconds(333'333'334));
  EXPECT_EQ(slow.TakeDue(slow.NextDue() - nanoseconds(1)), 0u);
  EXPECT_EQ(slow.TakeDue(slow.NextDue()), 1u);
  // The frame due at 667 ms is past the catch-up window at 1050 ms; the one due at 1 s is not.
  EXPECT_EQ(slow.TakeDue(t0 + milliseconds(1050)), 1u);
  EXPECT_EQ(slow.TakeDue(t0 + milliseconds(1050)), 0u);
}

}  // namespace
}  // namespace tran
