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
    {"7FF", 0x7FF},
    {"aBcDeF", 0xABCDEF},
    {"1f zz", 0x1F},  // stops at the space
    {"0x1F", 0},      // stops at the 'x'
    {" 12", 0},       // leading spaces are not skipped
    {"-5", 0},        // nor signs
    {"12g4", 0x12},   // 'g' is not a digit
    {"\t12", 0},      // nor a tab
    {"FFFFFFFF", 0xFFFFFFFF},
    {"123456789", 0x23456789},  // the ninth digit pushes the first out
    {"100000000", 0},
    {std::string_view("12\0"
                      "34",
                      5),
     0x12},                                // an embedded NUL ends the number
    {std::string_view("12345", 2), 0x12},  // reads only the view, not past it
};

TEST(read_hex, reads_the_hex_prefix) {
  for (const HexCase& c : kHexCases) {
    EXPECT_EQ(frame::ReadHex(c.text), c.value) << '"' << c.text << '"';
  }
}

}  // namespace
