#include "tran/candump/candump_log.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>

#include "tests/tran/test_support.h"

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
    LogReport report;
    ASSERT_TRUE(log.Write(records, timeval{5, 6}, "vcan0", &report)) << report.error;
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

// Frame n of a test's sequence: extended id n, its data n's bytes.
frame::FrameRecord Numbered(std::uint32_t n) {
  return Rec(n, true,
             {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)});
}

// The numbers of the frames in a log's text, in order.
std::vector<std::uint32_t> NumbersIn(const std::string& text) {
  std::vector<std::uint32_t> numbers;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    CandumpEntry entry;
    if (ParseCandumpLine(line, entry) == CandumpLineKind::kFrame) {
      numbers.push_back(frame::DecodeRecord(entry.record.data()).identifier);
    }
  }
  return numbers;
}

// Batches of 1 to 13 frames, then one larger than the limit, then three small ones: the log
// keeps the newest 3 rotated files and the current one, which hold the last frames written,
// each once and in order, every batch whole in one file, and a file rotated only when the next
// batch would have taken it past the limit.
TEST(candump_file, rotates_by_size_keeping_the_newest_files_and_every_batch_whole) {
  test::TempDir dir;
  const std::string path = dir / "bus.log";
  constexpr std::uint64_t kMax = 4096;
  CandumpLog log;
  std::string error;
  ASSERT_TRUE(log.Open(path, &error, {kMax, 3})) << error;
  std::vector<std::size_t> counts;
  for (std::size_t i = 0; i < 40; ++i) counts.push_back(1 + i % 13);
  const std::size_t big = counts.size();
  counts.push_back(100);  // 100 lines of 44 bytes
  counts.insert(counts.end(), {5, 9, 2});
  const timeval time{1700000000, 250};
  std::map<std::uint32_t, std::size_t> batch_bytes;  // by the batch's first frame
  std::uint32_t big_first = 0;
  std::uint32_t next = 0;
  for (std::size_t b = 0; b < counts.size(); ++b) {
    std::vector<frame::FrameRecord> batch;
    std::string text;
    for (std::size_t i = 0; i < counts[b]; ++i) {
      batch.push_back(Numbered(next + static_cast<std::uint32_t>(i)));
      AppendCandumpLine(text, batch.back(), time, "vcan0");
    }
    batch_bytes[next] = text.size();
    if (b == big) big_first = next;
    LogReport report;
    ASSERT_TRUE(log.Write(batch, time, "vcan0", &report));
    EXPECT_EQ(report.error + report.notice, "");
    next += static_cast<std::uint32_t>(counts[b]);
  }
  ASSERT_GT(batch_bytes[big_first], kMax);
  EXPECT_FALSE(std::filesystem::exists(path + ".4"));

  const std::vector<std::string> oldest_first = {path + ".3", path + ".2", path + ".1", path};
  std::vector<std::string> texts;
  std::vector<std::vector<std::uint32_t>> numbers;
  for (const auto& name : oldest_first) {
    texts.push_back(test::ReadFile(name));
    SCOPED_TRACE(name);
    ExpectOnlyWholeLines(texts.back());
    numbers.push_back(NumbersIn(texts.back()));
    ASSERT_FALSE(numbers.back().empty());
    EXPECT_TRUE(batch_bytes.contains(numbers.back().front())) << "a batch split across files";
  }
  std::vector<std::uint32_t> all;
  for (const auto& n : numbers) all.insert(all.end(), n.begin(), n.end());
  EXPECT_GT(all.front(), 0u) << "no file was dropped";
  for (std::size_t i = 0; i < all.size(); ++i) {
    ASSERT_EQ(all[i], next - all.size() + i) << "frame " << i << " of the kept files";
  }
  for (std::size_t f = 0; f + 1 < texts.size(); ++f) {
    SCOPED_TRACE(oldest_first[f]);
    EXPECT_TRUE(texts[f].size() <= kMax || texts[f].size() == batch_bytes[numbers[f].front()]);
    EXPECT_GT(texts[f].size() + batch_bytes[numbers[f + 1].front()], kMax) << "rotated early";
  }
  EXPECT_LE(texts.back().size(), kMax);
  // The batch larger than the limit has a file of its own.
  EXPECT_EQ(numbers[2].front(), big_first);
  EXPECT_EQ(numbers[2].size(), counts[big]);
}

// logrotate renames the file and sends SIGHUP: what was written stays in the renamed file, the
// rest goes to a new one at the path. Where the path cannot be opened, the open file goes on.
TEST(candump_file, reopens_at_its_path_and_keeps_the_open_file_when_it_cannot) {
  test::TempDir dir;
  const std::string sub = dir / "logs";
  std::filesystem::create_directory(sub);
  const std::string path = sub + "/bus.log";
  CandumpLog log;
  std::string error;
  ASSERT_TRUE(log.Open(path, &error)) << error;
  std::uint32_t next = 0;
  const auto write = [&](std::size_t count) {
    std::vector<frame::FrameRecord> batch;
    for (std::size_t i = 0; i < count; ++i) batch.push_back(Numbered(next++));
    LogReport report;
    EXPECT_TRUE(log.Write(batch, timeval{5, 6}, "vcan0", &report));
    EXPECT_EQ(report.error, "");
  };
  const auto range = [](std::uint32_t from, std::uint32_t to) {
    std::vector<std::uint32_t> numbers;
    for (std::uint32_t n = from; n < to; ++n) numbers.push_back(n);
    return numbers;
  };
  write(3);
  std::filesystem::rename(path, path + ".1");
  write(2);
  ASSERT_TRUE(log.Reopen(&error)) << error;
  write(4);
  EXPECT_EQ(NumbersIn(test::ReadFile(path + ".1")), range(0, 5));
  EXPECT_EQ(NumbersIn(test::ReadFile(path)), range(5, 9));

  const std::string gone = dir / "gone";
  std::filesystem::rename(sub, gone);
  EXPECT_FALSE(log.Reopen(&error));
  EXPECT_EQ(error, "cannot open log " + path + ": No such file or directory");
  write(2);
  EXPECT_EQ(NumbersIn(test::ReadFile(gone + "/bus.log")), range(5, 11));
  std::filesystem::create_directory(sub);
  ASSERT_TRUE(log.Reopen(&error)) << error;
  write(1);
  EXPECT_EQ(NumbersIn(test::ReadFile(path)), range(11, 12));
  EXPECT_EQ(NumbersIn(test::ReadFile(gone + "/bus.log")), range(5, 11));
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
  std::string error;
  ASSERT_TRUE(log.Open(path, &error)) << error;
  LogReport report;

  // 33-byte lines: the 4096-byte pages of tmpfs end inside a line.
  const std::vector<frame::FrameRecord> batch(100, Rec(0x10, false, {1}));
  std::size_t attempted = 0;
  bool written = true;
  for (int i = 0; i < 100 && written; ++i) {
    report = {};
    written = log.Write(batch, timeval{5, 6}, "vcan0", &report);
    attempted += batch.size();
    if (written) {
      EXPECT_EQ(report.error, "");
    }
  }
  ASSERT_FALSE(written) << "the disk never filled";
  EXPECT_EQ(report.error, "log write failed: No space left on device");
  EXPECT_EQ(report.notice, "");
  for (int i = 0; i < 3; ++i) {  // still full: reported once
    report = {};
    EXPECT_FALSE(log.Write(batch, timeval{5, 6}, "vcan0", &report));
    attempted += batch.size();
    EXPECT_EQ(report.error, "");
  }
  const std::string full = test::ReadFile(path);
  ExpectOnlyWholeLines(full);

  std::filesystem::remove(filler);
  const frame::FrameRecord after[] = {Rec(0x7FF, false, {0xAB})};
  report = {};
  EXPECT_TRUE(log.Write(after, timeval{7, 8}, "vcan0", &report));
  EXPECT_EQ(report.notice,
            "log resumed; " + std::to_string(attempted - CountLines(full)) + " frames not logged");
  EXPECT_EQ(report.error, "");
  report = {};
  EXPECT_TRUE(log.Write(after, timeval{9, 0}, "vcan0", &report));
  EXPECT_EQ(report.notice, "");
  const std::string text = test::ReadFile(path);
  ExpectOnlyWholeLines(text);
  EXPECT_EQ(text.substr(0, full.size()), full);
  EXPECT_EQ(text.substr(full.size()),
            "(0000000007.000008) vcan0 7FF#AB\n(0000000009.000000) vcan0 7FF#AB\n");
}

}  // namespace
}  // namespace tran
