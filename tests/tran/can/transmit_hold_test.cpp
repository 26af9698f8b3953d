#include "tran/can/transmit_hold.h"

#include <gtest/gtest.h>

#include "frame/can_frame_conv.h"

namespace tran {
namespace {

frame::FrameRecord Rec(std::uint32_t id, std::uint8_t byte) {
  return frame::MakeRecord(id, false, &byte, 1, 0);
}

// Frames wait in order up to the capacity; written ones are in flight until their echo, which
// names the client that sent them, and an echo skips frames whose echo never came.
TEST(transmit_hold, keeps_order_and_matches_echoes_to_their_senders) {
  TransmitHold hold(4);
  const std::vector<frame::FrameRecord> first = {Rec(0x1, 1), Rec(0x2, 2), Rec(0x3, 3)};
  const std::vector<frame::FrameRecord> second = {Rec(0x4, 4), Rec(0x5, 5)};
  EXPECT_EQ(hold.Add(first, 7), 3u);
  EXPECT_EQ(hold.Add(second, 9), 1u);  // full at 4
  std::vector<canid_t> written;
  while (hold.Waiting() > 0) {
    written.push_back(hold.Front().can_id);
    hold.FrontWritten();
  }
  EXPECT_EQ(written, (std::vector<canid_t>{0x1, 0x2, 0x3, 0x4}));
  EXPECT_EQ(hold.TakeEcho(frame::ToCanFrame(Rec(0x1, 1))), 7u);
  // 0x2's echo never comes (its frame was lost with the link); 0x3's takes it along.
  EXPECT_EQ(hold.TakeEcho(frame::ToCanFrame(Rec(0x3, 3))), 7u);
  EXPECT_EQ(hold.InFlight(), 1u);
  // The same id with other data is not this frame.
  EXPECT_EQ(hold.TakeEcho(frame::ToCanFrame(Rec(0x4, 5))), 0u);
  EXPECT_EQ(hold.TakeEcho(frame::ToCanFrame(Rec(0x4, 4))), 9u);
  EXPECT_EQ(hold.InFlight(), 0u);
  EXPECT_EQ(hold.Add(second, 9), 2u);
  EXPECT_EQ(hold.DropWaiting(), 2u);
  EXPECT_EQ(hold.Waiting(), 0u);
}

}  // namespace
}  // namespace tran
