#include "tran/candump_log.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace tran {
namespace {

using test::Rec;

TEST(candump_line, formats_ids_data_and_time) {
  struct Case {
    frame::FrameRecord record;
    timeval time;
    const char* iface;
    const char* line;
  };
  const Case cases[] = {
      {Rec(0x123, false, {0x11, 0x22}),
       {1700000000, 100},
       "vcan0",
       "(1700000000.000100) vcan0 123#1122\n"},
      {Rec(0xABCD, true, {}), {12, 500000}, "can0", "(0000000012.500000) can0 0000ABCD#\n"},
      {Rec(0x7FF, false, {0xDE, 0xAD, 0xBE, 0xEF, 0, 1, 2, 0xAB}, 15),  // length code 15
       {1, 0},
       "chan",
       "(0000000001.000000) chan 7FF#DEADBEEF000102AB\n"},
      {Rec(0x1FFFFFFF, true, {0x0F}), {0, 1}, "vcan0", "(0000000000.000001) vcan0 1FFFFFFF#0F\n"},
  };
  for (const auto& c : cases) {
    std::string out;
    AppendCandumpLine(out, c.record, c.time, c.iface);
    EXPECT_EQ(out, c.line);
  }
}

TEST(candump_file, appends_whole_lines_to_existing_content) {
  test::TempDir dir;
  const std::string path = dir / "bus.log";
  std::ofstream(path) << "(0000000000.000000) vcan0 001#\n";
  {
    CandumpLog log;
    std::string error;
    ASSERT_TRUE(log.Open(path, &error)) << error;
    const frame::FrameRecord records[] = {Rec(0x10, false, {1}), Rec(0x20, true, {})};
    ASSERT_TRUE(log.Write(records, timeval{5, 6}, "vcan0", &error)) << error;
  }
  EXPECT_EQ(test::ReadFile(path),
            "(0000000000.000000) vcan0 001#\n"
            "(0000000005.000006) vcan0 010#01\n"
            "(0000000005.000006) vcan0 00000020#\n");
}

TEST(candump_file, reports_an_unopenable_path) {
  CandumpLog log;
  std::string error;
  EXPECT_FALSE(log.Open("/nonexistent-dir/x.log", &error));
  EXPECT_NE(error.find("/nonexistent-dir/x.log"), std::string::npos);
}

}  // namespace
}  // namespace tran
