#include "frame/read_hex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

namespace {

struct HexCase {
  std::string_view text;
  std::uint32_t value;
};

constexpr HexCase kHexCases[] = {
    {"", 0},
    {"0", 0},
    {"7FF", 0x7FF},
    {"7ff", 0x7FF},
    {"aBcDeF", 0xABCDEF},
    {"1f zz", 0x1F},  // stops at the space
    {"0x1F", 0},      // stops at the 'x'
    {" 12", 0},       // leading spaces are not skipped
    {"-5", 0},        // nor signs
    {"+5", 0},
    {"12g4", 0x12},  // 'g' is not a digit
    {"\t12", 0},     // nor a tab
    {"FFFFFFFF", 0xFFFFFFFF},
    {"123456789", 0x23456789},  // the ninth digit pushes the first out
    {"100000000", 0},
    {"1FF", 0x1FF},
    {std::string_view("12\0"
                      "34",
                      5),
     0x12},  // an embedded NUL ends the number
};

TEST(read_hex, reads_the_hex_prefix) {
  for (const HexCase& c : kHexCases) {
    EXPECT_EQ(frame::ReadHex(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(read_hex, reads_only_the_view_not_past_it) {
  const std::string_view whole = "12345";
  EXPECT_EQ(frame::ReadHex(whole.substr(0, 2)), 0x12u);
}

}  // namespace
