#include "tran/socketcand/socketcand_protocol.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/tran/test_support.h"

namespace tran {
namespace {

using test::Rec;

TEST(socketcand_command, parses_each_command_kind) {
  struct Case {
    const char* inner;
    CommandKind kind;
    const char* text;
  };
  const Case cases[] = {
      {" open vcan0 ", CommandKind::kOpen, "vcan0"},
      {" rawmode ", CommandKind::kRawmode, ""},
      {" echo ", CommandKind::kEcho, ""},
      {" bcmmode ", CommandKind::kUnknown, ""},
      {"", CommandKind::kUnknown, ""},
      {" open ", CommandKind::kBad, "open needs one channel name"},
      {" open a b ", CommandKind::kBad, "open needs one channel name"},
      {" send 123 ", CommandKind::kBad, "send needs an id and a length"},
      {" send 12G 0 ", CommandKind::kBad, "bad id"},
      {" send 123456789 0 ", CommandKind::kBad, "bad id"},
      {" send 20000000 0 ", CommandKind::kBad, "bad id"},
      {" send 123 9 1 2 3 4 5 6 7 8 9 ", CommandKind::kBad, "bad length"},
      {" send 123 x ", CommandKind::kBad, "bad length"},
      {" send 123 2 11 ", CommandKind::kBad, "length does not match the data"},
      {" send 123 1 11 22 ", CommandKind::kBad, "length does not match the data"},
      {" send 123 1 123 ", CommandKind::kBad, "bad data byte"},
      {" send 123 1 zz ", CommandKind::kBad, "bad data byte"},
  };
  for (const auto& c : cases) {
    const Command command = ParseCommand(c.inner);
    EXPECT_EQ(command.kind, c.kind) << c.inner;
    EXPECT_EQ(command.text, c.text) << c.inner;
  }
}

TEST(socketcand_command, send_decides_extended_by_width_or_value) {
  struct Case {
    const char* inner;
    frame::FrameRecord record;
  };
  const Case cases[] = {
      {" send 123 2 11 22 ", Rec(0x123, false, {0x11, 0x22})},
      {" send 7FF 0 ", Rec(0x7FF, false, {})},
      {" send 800 1 5 ", Rec(0x800, true, {0x05})},
      {" send 00000123 1 a ", Rec(0x123, true, {0x0A})},
      {" send 1fffffff 8 1 2 3 4 5 6 7 ff ", Rec(0x1FFFFFFF, true, {1, 2, 3, 4, 5, 6, 7, 0xFF})},
      {"send\t1\t0", Rec(0x1, false, {})},
  };
  for (const auto& c : cases) {
    const Command command = ParseCommand(c.inner);
    ASSERT_EQ(command.kind, CommandKind::kSend) << c.inner << ": " << command.text;
    EXPECT_EQ(command.record, c.record) << c.inner;
  }
}

TEST(socketcand_frame, formats_and_parses_back) {
  struct Case {
    frame::FrameRecord record;
    timeval time;
    const char* text;
  };
  const Case cases[] = {
      {Rec(0x123, false, {0x11, 0x22}), {1700000000, 100}, "< frame 123 1700000000.000100 1122 >"},
      {Rec(0xABCD, true, {}), {12, 0}, "< frame 0000ABCD 12.000000  >"},
      {Rec(0x1, false, {0, 0xFF, 1, 2, 3, 4, 5, 6}),
       {0, 999999},
       "< frame 001 0.999999 00FF010203040506 >"},
  };
  for (const auto& c : cases) {
    const std::string text = FormatFrameMessage(c.record, c.time);
    EXPECT_EQ(text, c.text);
    const auto parsed = ParseFrameMessage(text.substr(1, text.size() - 2));
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(*parsed, c.record) << text;
  }
}

TEST(socketcand_frame, rejects_malformed_frame_messages) {
  for (const char* inner : {" frame 123 >", " frame 123 1.0 112 ",
                            " frame 123 1.0 11223344556677889900 ", " frame XYZ 1.0 11 ",
                            " frame 123 1.0a 11 ", " fram 123 1.0 11 ", " frame 123 1.0 11 22 "}) {
    EXPECT_FALSE(ParseFrameMessage(inner)) << inner;
  }
}

TEST(socketcand_splitter, cuts_messages_across_and_within_reads) {
  MessageSplitter splitter;
  std::vector<std::string> got;
  const auto drain = [&] {
    while (auto message = splitter.Next()) got.push_back(*message);
  };
  ASSERT_TRUE(splitter.Append("< op"));
  drain();
  EXPECT_TRUE(got.empty());
  ASSERT_TRUE(splitter.Append("en vcan0 >< rawmode >noise< echo"));
  drain();
  ASSERT_TRUE(splitter.Append(" >"));
  drain();
  ASSERT_TRUE(splitter.Append("<< send 1 0 >"));  // a stray '<' starts over
  drain();
  EXPECT_EQ(got, (std::vector<std::string>{" open vcan0 ", " rawmode ", " echo ", " send 1 0 "}));
}

TEST(socketcand_splitter, reports_a_line_without_end) {
  MessageSplitter splitter;
  ASSERT_TRUE(splitter.Append("< echo >" + std::string(kMaxPendingLine, 'x')));
  EXPECT_EQ(splitter.Next(), " echo ");
  EXPECT_FALSE(splitter.Append("x"));
  // A long run that ends in time is fine.
  MessageSplitter ok;
  EXPECT_TRUE(ok.Append("<" + std::string(kMaxPendingLine - 2, ' ') + ">"));
}

}  // namespace
}  // namespace tran
