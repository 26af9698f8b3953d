#include "frame/send_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace {

using frame::FrameRecord;

struct SendCase {
  std::string_view line;
  std::uint8_t id_word[4];
  std::uint8_t flags_length;  // byte 13
  std::vector<std::uint8_t> data;
};

const SendCase kSendCases[] = {
    {"115599 00 22 99 00 00 11 33 33",  // the default line
     {0xC8, 0xAC, 0x8A, 0x00},
     0x88,
     {0x00, 0x22, 0x99, 0x00, 0x00, 0x11, 0x33, 0x33}},
    {"", {0, 0, 0, 0}, 0x00, {}},
    {"     ", {0, 0, 0, 0}, 0x00, {}},
    {"7FF", {0xE0, 0xFF, 0, 0}, 0x00, {}},
    {"07F", {0xE0, 0x0F, 0, 0}, 0x00, {}},          // three characters stay standard
    {"800", {0x00, 0x40, 0, 0}, 0x80, {}},          // above 0x7FF: extended
    {"0001", {0x08, 0, 0, 0}, 0x80, {}},            // four characters: extended
    {"0123 01", {0x18, 0x09, 0, 0}, 0x81, {0x01}},  // small id, still extended
    {"123 1 2 3 4 5 6 7 8 9 A", {0x60, 0x24, 0, 0}, 0x08, {1, 2, 3, 4, 5, 6, 7, 8}},
    {"123   45", {0x60, 0x24, 0, 0}, 0x01, {0x45}},
    {"  123 45  ", {0x60, 0x24, 0, 0}, 0x01, {0x45}},
    {"12 34  56   78", {0x40, 0x02, 0, 0}, 0x03, {0x34, 0x56, 0x78}},
    {"123 zz", {0x60, 0x24, 0, 0}, 0x01, {0x00}},
    {"123 1FF", {0x60, 0x24, 0, 0}, 0x01, {0xFF}},      // low 8 bits of the token
    {"123\t45", {0x18, 0x09, 0, 0}, 0x80, {}},          // a tab is part of the 6-character id text
    {"1 \t2", {0x20, 0, 0, 0}, 0x01, {0x00}},           // a tab-led token has no hex prefix
    {"123456789", {0x48, 0x3C, 0x2B, 0x1A}, 0x80, {}},  // 0x23456789 << 3, wrapped
    {"FFFFFFFF 1", {0xF8, 0xFF, 0xFF, 0xFF}, 0x81, {0x01}},  // bits above 28 lost
    {"x12 34", {0, 0, 0, 0}, 0x01, {0x34}},  // no hex prefix: id 0, one char id text
    // A view into a longer buffer: the encoder must not look past its end.
    {std::string_view("123 45 67", 6), {0x60, 0x24, 0, 0}, 0x01, {0x45}},
};

TEST(send_line, encodes_every_edge_case_exactly) {
  for (const SendCase& c : kSendCases) {
    SCOPED_TRACE(testing::Message() << '"' << c.line << '"');
    FrameRecord want{};  // everything the encoder does not fill is zero
    for (std::size_t i = 0; i < c.data.size(); ++i) want[i] = c.data[i];
    for (int i = 0; i < 4; ++i) want[8 + i] = c.id_word[i];
    want[13] = c.flags_length;
    EXPECT_EQ(frame::EncodeSendLine(c.line), want);
  }
}

}  // namespace
