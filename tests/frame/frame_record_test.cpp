#include "frame/frame_record.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using frame::FrameRecord;

struct DecodeCase {
  std::uint8_t id_word[4];
  std::uint8_t flags;
  bool extended;
  std::uint32_t identifier;
  std::uint8_t length_code;
  std::uint8_t shown_length;
};

constexpr DecodeCase kDecodeCases[] = {
    {{0xC8, 0xAC, 0x8A, 0x00}, 0x88, true, 0x115599, 8, 8},  // the worked example
    {{0xE0, 0xFF, 0x00, 0x00}, 0x00, false, 0x7FF, 0, 0},
    // A standard record with stray bits in bytes 10..11 shifts the whole word.
    {{0x60, 0x24, 0x01, 0x00}, 0x02, false, 0x123 | (0x10000 >> 5), 2, 2},
    // Bits 4..6 are ignored when read.
    {{0x60, 0x24, 0x00, 0x00}, 0x73, false, 0x123, 3, 3},
    {{0xF8, 0xFF, 0xFF, 0xFF}, 0x88, true, 0x1FFFFFFF, 8, 8},
    // Length codes 9..15 show eight bytes.
    {{0x00, 0x00, 0x00, 0x00}, 0x09, false, 0, 9, 8},
    {{0x00, 0x00, 0x00, 0x00}, 0x8F, true, 0, 15, 8},
};

TEST(frame_record, decodes_flags_identifier_length_and_timestamp) {
  for (const DecodeCase& c : kDecodeCases) {
    SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << int{c.flags});
    FrameRecord rec{};
    for (int i = 0; i < 4; ++i) rec[8 + i] = c.id_word[i];
    rec[13] = c.flags;
    rec[14] = 0x34;
    rec[15] = 0x12;
    const frame::DecodedRecord d = frame::DecodeRecord(rec.data());
    EXPECT_EQ(d.extended, c.extended);
    EXPECT_EQ(d.identifier, c.identifier);
    EXPECT_EQ(d.length_code, c.length_code);
    EXPECT_EQ(d.shown_length, c.shown_length);
    EXPECT_EQ(d.timestamp, 0x1234);
    EXPECT_EQ(d.data, rec.data());
  }
}

TEST(frame_record, make_record_lays_out_every_byte_and_masks_its_inputs) {
  const std::uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const FrameRecord want_ext = {1,    2,    3,    0,    0, 0,    0,    0,
                                0xC8, 0xAC, 0x8A, 0x00, 0, 0x83, 0xEF, 0xBE};
  EXPECT_EQ(frame::MakeRecord(0x115599, true, data, 3, 0xBEEF), want_ext);

  // Identifiers are masked to 11 or 29 bits, the length code to 4 bits.
  const frame::DecodedRecord s =
      frame::DecodeRecord(frame::MakeRecord(0xFFFF, false, data, 0x1C, 0).data());
  EXPECT_EQ(s.identifier, 0x7FFu);
  EXPECT_EQ(s.length_code, 0xC);
  const FrameRecord e = frame::MakeRecord(0xFFFFFFFF, true, data, 8, 0);
  EXPECT_EQ(frame::DecodeRecord(e.data()).identifier, 0x1FFFFFFFu);
}

}  // namespace
