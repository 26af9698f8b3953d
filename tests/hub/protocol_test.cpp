#include "hub/protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace pelmo {
namespace {

TEST(wire_protocol, encodes_the_documented_header_layout) {
  const auto bytes = EncodeMessage(MsgType::kPost, 0x20000412, 0, AsBytes("ab"));
  const std::vector<std::uint8_t> expected = {0x70, 0x6D, 0x01, 0x03, 0x12, 0x04, 0x00, 0x20, 0x00,
                                              0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 'a',  'b'};
  EXPECT_EQ(bytes, expected);
}

TEST(wire_protocol, round_trips_every_message_type) {
  struct Case {
    MsgType type;
    std::uint32_t a, b;
    std::string payload;
  };
  const Case cases[] = {
      {MsgType::kRegister, 1024, 0, "zelk_test"},
      {MsgType::kRegister, 1, 0, ""},
      {MsgType::kUnregister, 0, 0, ""},
      {MsgType::kPost, 0x20000412, 0, std::string(16, 'x')},
      {MsgType::kPost, 0x20000412, 0, ""},
      {MsgType::kSetVar, 7, 0xFFFFFFFB, "speed"},
      {MsgType::kGetVar, 8, 0, "speed"},
      {MsgType::kSetStr, 9, 4, "portcan0"},
      {MsgType::kSetStr, 9, 4, "port"},  // empty value
      {MsgType::kGetStr, 10, 0, "port"},
      {MsgType::kDeliver, 0x10000412, 0, std::string(PM_MAX_BLOCK, 'y')},
      {MsgType::kReply, 10, 1, "can0"},
      {MsgType::kInfo, 3, 12, ""},
      {MsgType::kError, 1, 0, "bad message"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    const auto bytes = EncodeMessage(c.type, c.a, c.b, AsBytes(c.payload));
    const auto m = ParseMessage(bytes);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, c.type);
    EXPECT_EQ(m->a, c.a);
    EXPECT_EQ(m->b, c.b);
    EXPECT_EQ(AsText(m->payload), c.payload);
  }
}

TEST(wire_protocol, rejects_malformed_packets) {
  auto with = [](std::vector<std::uint8_t> bytes, std::size_t at, std::uint8_t value) {
    bytes[at] = value;
    return bytes;
  };
  const auto post = EncodeMessage(MsgType::kPost, 0x20000412, 0, AsBytes("0123456789abcdef"));
  const std::vector<std::uint8_t> truncated(post.begin(), post.end() - 1);
  std::vector<std::uint8_t> trailing(post.size() + 1, 0);
  std::copy(post.begin(), post.end(), trailing.begin());
  const std::string long_name(PM_MAX_NAME + 1, 'n');
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
  };
  const Case cases[] = {
      {"empty", {}},
      {"short header", std::vector<std::uint8_t>(post.begin(), post.begin() + 15)},
      {"bad magic", with(post, 0, 0x71)},
      {"bad version", with(post, 2, 2)},
      {"unknown type 0", with(post, 3, 0)},
      {"unknown type 9", with(post, 3, 9)},
      {"unknown type 21", with(post, 3, 21)},
      {"truncated payload", truncated},
      {"trailing byte", trailing},
      {"oversized packet", std::vector<std::uint8_t>(kMaxMessage + 1)},
      {"register name too long", EncodeMessage(MsgType::kRegister, 1, 0, AsBytes(long_name))},
      {"unregister with payload", EncodeMessage(MsgType::kUnregister, 0, 0, AsBytes("x"))},
      {"empty variable name", EncodeMessage(MsgType::kGetVar, 1, 0)},
      {"variable name too long", EncodeMessage(MsgType::kSetVar, 1, 0, AsBytes(long_name))},
      {"string name length past payload", EncodeMessage(MsgType::kSetStr, 1, 9, "port", "")},
      {"string name length zero", EncodeMessage(MsgType::kSetStr, 1, 0, "", "can0")},
      {"string value too long",
       EncodeMessage(MsgType::kSetStr, 1, 4, "port", std::string(PM_MAX_STR + 1, 'v'))},
      {"info with payload", EncodeMessage(MsgType::kInfo, 1, 0, AsBytes("x"))},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(ParseMessage(c.bytes)) << c.name;
  }
}

}  // namespace
}  // namespace pelmo
