#include "tran/candump_log.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <sstream>

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

// Every line our writer produces reads back as the same frame, time and interface.
TEST(candump_read, reads_back_every_line_the_writer_makes) {
  const frame::FrameRecord records[] = {
      Rec(0x123, false, {0x11, 0x22}),
      Rec(0xABCD, true, {}),
      Rec(0x7FF, false, {1, 2, 3, 4, 5, 6, 7, 8}),
      Rec(0x1FFFFFFF, true, {0x0F}),
      Rec(0, false, {}),
  };
  for (const auto& record : records) {
    std::string line;
    AppendCandumpLine(line, record, timeval{1700000000, 123456}, "can0");
    line.pop_back();  // the '\n'
    CandumpEntry entry;
    ASSERT_EQ(ParseCandumpLine(line, entry), CandumpLineKind::kFrame) << line;
    EXPECT_EQ(entry.record, record) << line;
    EXPECT_EQ(entry.time_us, 1700000000123456) << line;
    EXPECT_EQ(entry.iface, "can0");
  }
}

TEST(candump_read, takes_every_writers_lines_and_names_what_it_cannot_play) {
  using K = CandumpLineKind;
  const std::uint8_t eight[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  struct Case {
    const char* line;
    CandumpLineKind kind;
    frame::FrameRecord record;  // for kFrame
    std::int64_t time_us;
  };
  const Case cases[] = {
      // can-utils' candump -l and python-can's writer (direction R or T, short fractions)
      {"(1700000000.000100) can0 123#1122", K::kFrame, Rec(0x123, false, {0x11, 0x22}),
       1700000000000100},
      {"(0.250000) vcan0 0000ABCD#11 R", K::kFrame, Rec(0xABCD, true, {0x11}), 250000},
      {"(0.250000) vcan0 0000ABCD# T", K::kFrame, Rec(0xABCD, true, {}), 250000},
      {"(1.5) vcan0 123#11.22", K::kFrame, Rec(0x123, false, {0x11, 0x22}), 1500000},
      {"(2.123456789) x 7ff#aa", K::kFrame, Rec(0x7FF, false, {0xAA}), 2123456},
      {"(1.000000) vcan0 7FF#1122334455667788_C", K::kFrame,
       frame::MakeRecord(0x7FF, false, eight, 12, 0), 1000000},
      {"(1.000000)\tvcan0  000#\r", K::kFrame, Rec(0, false, {}), 1000000},
      {"", K::kBlank, {}, 0},
      {" \t\r", K::kBlank, {}, 0},
      // frames this bus does not carry
      {"(1.000000) vcan0 123##1AABB", K::kCanFd, {}, 0},
      {"(1.000000) vcan0 123#R", K::kRemote, {}, 0},
      {"(1.000000) vcan0 00000123#R4 R", K::kRemote, {}, 0},
      {"(1.000000) vcan0 20000080#0000000000000000", K::kErrorFrame, {}, 0},
      // garbage
      {"(1.0) vcan0 800#", K::kMalformed, {}, 0},
      {"(1.0) vcan0 40000123#", K::kMalformed, {}, 0},
      {"(1.0) vcan0 1234#", K::kMalformed, {}, 0},
      {"(1.0) vcan0 12#", K::kMalformed, {}, 0},
      {"(1.0) vcan0 123#1", K::kMalformed, {}, 0},
      {"(1.0) vcan0 123#1G", K::kMalformed, {}, 0},
      {"(1.0) vcan0 123#112233445566778899", K::kMalformed, {}, 0},
      {"(1.0) vcan0 123#1122_C", K::kMalformed, {}, 0},
      {"(1.0) vcan0 7FF#1122334455667788_8", K::kMalformed, {}, 0},
      {"(1.0) vcan0 123# X", K::kMalformed, {}, 0},
      {"(1.0) vcan0 123# R T", K::kMalformed, {}, 0},
      {"(1.0) vcan0", K::kMalformed, {}, 0},
      {"1.0 vcan0 123#", K::kMalformed, {}, 0},
      {"(1) vcan0 123#", K::kMalformed, {}, 0},
      {"(-1.0) vcan0 123#", K::kMalformed, {}, 0},
      {"(1.0x) vcan0 123#", K::kMalformed, {}, 0},
      {"(1234567890123.0) vcan0 123#", K::kMalformed, {}, 0},
      {"(1.0) vcan0 123", K::kMalformed, {}, 0},
      {"# a comment", K::kMalformed, {}, 0},
  };
  for (const auto& c : cases) {
    CandumpEntry entry;
    EXPECT_EQ(ParseCandumpLine(c.line, entry), c.kind) << c.line;
    if (c.kind != K::kFrame) continue;
    EXPECT_EQ(entry.record, c.record) << c.line;
    EXPECT_EQ(entry.time_us, c.time_us) << c.line;
  }
  EXPECT_STREQ(DescribeCandumpLineKind(K::kCanFd), "CAN FD frame");
  EXPECT_STREQ(DescribeCandumpLineKind(K::kMalformed), "not a candump line");
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

// Every line of the file is a whole frame line.
void ExpectOnlyWholeLines(const std::string& text) {
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n') << "a cut last line: " << text.substr(text.rfind('\n') + 1);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    CandumpEntry entry;
    EXPECT_EQ(ParseCandumpLine(line, entry), CandumpLineKind::kFrame) << line;
  }
}

std::size_t CountLines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// On a small tmpfs: fill it, see only whole lines and one report, free space, see the log go on.
TEST(candump_file, keeps_whole_lines_on_a_full_disk_and_goes_on_when_space_returns) {
  test::TempDir dir;
  const std::string small = dir / "small";
  ::mkdir(small.c_str(), 0700);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs (needs root): " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};
  const std::string filler = small + "/filler";
  std::ofstream(filler) << std::string(48 * 1024, 'x');
  const std::string path = small + "/bus.log";
  CandumpLog log;
  std::string report;
  ASSERT_TRUE(log.Open(path, &report)) << report;

  // 33-byte lines: the 4096-byte pages of tmpfs end inside a line.
  const std::vector<frame::FrameRecord> batch(100, Rec(0x10, false, {1}));
  std::size_t attempted = 0;
  bool written = true;
  for (int i = 0; i < 100 && written; ++i) {
    report.clear();
    written = log.Write(batch, timeval{5, 6}, "vcan0", &report);
    attempted += batch.size();
    if (written) {
      EXPECT_EQ(report, "");
    }
  }
  ASSERT_FALSE(written) << "the disk never filled";
  EXPECT_EQ(report, "log write failed: No space left on device");
  for (int i = 0; i < 3; ++i) {  // still full: reported once
    report.clear();
    EXPECT_FALSE(log.Write(batch, timeval{5, 6}, "vcan0", &report));
    attempted += batch.size();
    EXPECT_EQ(report, "");
  }
  const std::string full = test::ReadFile(path);
  ExpectOnlyWholeLines(full);

  std::filesystem::remove(filler);
  const frame::FrameRecord after[] = {Rec(0x7FF, false, {0xAB})};
  report.clear();
  EXPECT_TRUE(log.Write(after, timeval{7, 8}, "vcan0", &report));
  EXPECT_EQ(report,
            "log resumed; " + std::to_string(attempted - CountLines(full)) + " frames not logged");
  report.clear();
  EXPECT_TRUE(log.Write(after, timeval{9, 0}, "vcan0", &report));
  EXPECT_EQ(report, "");
  const std::string text = test::ReadFile(path);
  ExpectOnlyWholeLines(text);
  EXPECT_EQ(text.substr(0, full.size()), full);
  EXPECT_EQ(text.substr(full.size()),
            "(0000000007.000008) vcan0 7FF#AB\n(0000000009.000000) vcan0 7FF#AB\n");
}

}  // namespace
}  // namespace tran
