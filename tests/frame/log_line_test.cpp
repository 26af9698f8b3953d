#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "frame/frame_record.h"
#include "frame/memory_log_view.h"
#include "frame/receive_log.h"
#include "frame/send_line.h"
#include "tests/frame/log_line_examples.h"

namespace {

// Each golden line: send line -> record -> ShowRecord -> the exact text in the view.
TEST(log_line, round_trips_send_line_to_log_text) {
  for (const frame_test::LogLineExample& ex : frame_test::kLogLineExamples) {
    SCOPED_TRACE(ex.send_line);
    frame::FrameRecord rec = frame::EncodeSendLine(ex.send_line);
    rec[14] = static_cast<std::uint8_t>(ex.timestamp);
    rec[15] = static_cast<std::uint8_t>(ex.timestamp >> 8);

    frame::PendingText().clear();
    frame::LastTimestamp() = ex.last_timestamp;
    frame::MemoryLogView view;
    std::uint64_t rx = 0;
    std::uint64_t line_no = ex.line_no;
    bool flush_due = true;
    const std::string filter;
    const std::uint32_t filter_id = 0;
    frame::ShowRecord({rx, line_no, flush_due, filter, filter_id, view}, rec.data());

    EXPECT_EQ(view.Text(), ex.log_line);
    EXPECT_EQ(frame::LastTimestamp(), ex.timestamp);
    EXPECT_TRUE(frame::PendingText().empty());
  }
}

// The hand-written formatter must agree with the printf formats it replaces, widened to 64 bits.
TEST(log_line, agrees_with_printf_formats) {
  const std::uint64_t line_numbers[] = {0, 10, 4294967296u, 18446744073709551615u};
  const std::uint32_t deltas[] = {0, 7, 99999, 65535, 4294967295u};
  const std::uint32_t identifiers[] = {0, 0xF, 0x123, 0x7FF, 0xFFFF, 0x115599, 0x1FFFFFFF};
  const std::uint8_t data[8] = {0x00, 0x0A, 0xA0, 0xFF, 0x10, 0x01, 0x5C, 0xC5};
  for (const std::uint64_t line_no : line_numbers) {
    for (const std::uint32_t delta : deltas) {
      for (const std::uint32_t id : identifiers) {
        for (const bool extended : {false, true}) {
          const std::uint8_t length = static_cast<std::uint8_t>((id + delta) % 9);
          const frame::DecodedRecord rec{extended, id, length, length, 0, data};
          char want[200];
          int n = std::snprintf(want, sizeof want,
                                extended ? "%" PRIu64 " %6ums %08X -" : "%" PRIu64 " %6ums %8.3X -",
                                line_no, delta, id);
          for (int i = 0; i < length; ++i) n += std::snprintf(want + n, 4, " %02X", data[i]);
          const std::string expected = std::string(want, static_cast<std::size_t>(n)) + "\r\n";
          char got[frame::kMaxLogLine];
          ASSERT_EQ(std::string(got, frame::FormatLogLine(got, line_no, delta, rec)), expected);
          ASSERT_EQ(frame::LogLineLength(line_no, delta, rec), expected.size());
        }
      }
    }
  }
}

}  // namespace
