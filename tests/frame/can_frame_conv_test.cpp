#include "frame/can_frame_conv.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>

namespace {

can_frame Frame(canid_t id, std::uint8_t len, std::uint8_t len8_dlc = 0) {
  can_frame f;
  std::memset(&f, 0, sizeof f);
  f.can_id = id;
  f.len = len;
  f.len8_dlc = len8_dlc;
  for (std::uint8_t i = 0; i < CAN_MAX_DLEN; ++i) f.data[i] = static_cast<std::uint8_t>(0xA0 + i);
  return f;
}

struct ConvCase {
  canid_t can_id;
  std::uint8_t len;
  std::uint8_t len8_dlc;
  std::uint32_t identifier;
  bool extended;
  std::uint8_t length_code;
};

constexpr ConvCase kConvCases[] = {
    {0x123, 2, 0, 0x123, false, 2},
    {0x7FF, 0, 0, 0x7FF, false, 0},
    {0x115599 | CAN_EFF_FLAG, 8, 0, 0x115599, true, 8},
    {0x1FFFFFFF | CAN_EFF_FLAG, 8, 15, 0x1FFFFFFF, true, 15},
    {0x001 | CAN_EFF_FLAG, 8, 9, 0x001, true, 9},
    {0x456, 8, 12, 0x456, false, 12},
};

TEST(can_frame_conv, converts_both_ways) {
  for (const ConvCase& c : kConvCases) {
    SCOPED_TRACE(testing::Message() << "can_id 0x" << std::hex << c.can_id);
    const can_frame in = Frame(c.can_id, c.len, c.len8_dlc);
    const std::optional<frame::FrameRecord> rec = frame::FromCanFrame(in, 0x4321);
    ASSERT_TRUE(rec.has_value());
    const frame::DecodedRecord d = frame::DecodeRecord(rec->data());
    EXPECT_EQ(d.identifier, c.identifier);
    EXPECT_EQ(d.extended, c.extended);
    EXPECT_EQ(d.length_code, c.length_code);
    EXPECT_EQ(d.timestamp, 0x4321);
    EXPECT_EQ(std::memcmp(rec->data(), in.data, c.len), 0);
    for (std::size_t i = c.len; i < 8; ++i) EXPECT_EQ((*rec)[i], 0) << "byte " << i;
    EXPECT_EQ((*rec)[12], 0);

    const can_frame out = frame::ToCanFrame(*rec);
    EXPECT_EQ(out.can_id, c.can_id);
    EXPECT_EQ(out.len, c.len);
    EXPECT_EQ(out.len8_dlc, c.len8_dlc);
    EXPECT_EQ(std::memcmp(out.data, in.data, c.len), 0);
    for (std::size_t i = c.len; i < 8; ++i) EXPECT_EQ(out.data[i], 0) << "byte " << i;
  }
}

TEST(can_frame_conv, rejects_remote_and_error_frames) {
  EXPECT_FALSE(frame::FromCanFrame(Frame(0x123 | CAN_RTR_FLAG, 0), 0).has_value());
  EXPECT_FALSE(frame::FromCanFrame(Frame(0x123 | CAN_EFF_FLAG | CAN_RTR_FLAG, 4), 0).has_value());
  EXPECT_FALSE(frame::FromCanFrame(Frame(CAN_ERR_FLAG | 0x4, 8), 0).has_value());
}

TEST(can_frame_conv, masks_identifiers_and_bounds_length) {
  // Stray bits above 11 bits in a standard id, and a length a driver would never give.
  const auto rec = frame::FromCanFrame(Frame(0x1FFFF923, 200, 3), 0);
  ASSERT_TRUE(rec.has_value());
  const frame::DecodedRecord d = frame::DecodeRecord(rec->data());
  EXPECT_FALSE(d.extended);
  EXPECT_EQ(d.identifier, 0x123u);
  EXPECT_EQ(d.length_code, 8);  // len8_dlc outside 9..15 is ignored

  // A standard record whose id word carries stray high bits still yields an 11-bit can_id.
  frame::FrameRecord raw{};
  raw[8] = 0x60;
  raw[9] = 0x24;
  raw[10] = 0x01;
  raw[13] = 0x01;
  EXPECT_EQ(frame::ToCanFrame(raw).can_id, 0x123u);
}

}  // namespace
