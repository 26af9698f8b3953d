#include "frame/receive_log.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "frame/memory_log_view.h"

namespace {

using frame::FrameRecord;

FrameRecord Record(std::uint32_t id, bool extended, std::uint16_t timestamp,
                   std::uint8_t length_code = 0) {
  const std::uint8_t data[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  return frame::MakeRecord(id, extended, data, length_code, timestamp);
}

// The owner's state around one MemoryLogView. The pending text and last timestamp are
// process-wide, so every test starts them from a known state.
class ReceiveLogTest : public testing::Test {
 protected:
  void SetUp() override {
    frame::PendingText().clear();
    frame::LastTimestamp() = 0;
  }

  void SetFilter(const std::string& text) { state_.SetFilter(text); }

  void Show(const FrameRecord& rec) { frame::ShowRecord(state_.Context(view_), rec.data()); }

  // Shows a record with the flush flag raised, so everything pending reaches the view.
  void ShowFlushed(const FrameRecord& rec) {
    state_.flush_due = true;
    Show(rec);
  }

  frame::ReceiveLogState state_;
  frame::MemoryLogView view_;
};

TEST_F(ReceiveLogTest, length_codes_above_eight_show_eight_bytes) {
  ShowFlushed(Record(0x7FF, false, 0, 9));
  ShowFlushed(Record(0x7FF, false, 0, 15));
  ShowFlushed(Record(0x7FF, false, 0, 0));
  EXPECT_EQ(view_.Text(),
            "0      0ms      7FF - 11 22 33 44 55 66 77 88\r\n"
            "1      0ms      7FF - 11 22 33 44 55 66 77 88\r\n"
            "2      0ms      7FF -\r\n");
}

struct FilterCase {
  const char* filter;
  std::uint32_t id;
  bool extended;
  bool shown;
};

constexpr FilterCase kFilterCases[] = {
    {"", 0x1FFFFFFF, true, true},   {"7FF", 0x7FF, false, true}, {"7FF", 0x7FE, false, false},
    {"7ff", 0x7FF, true, true},     {"zz", 0, false, true},      {"zz", 1, false, false},
    {"FFFF", 0x1FFFF, true, false}, {" 12", 0x12, false, false},  // " 12" reads as 0
};

TEST_F(ReceiveLogTest, filter_shows_only_the_matching_identifier) {
  for (const FilterCase& c : kFilterCases) {
    SCOPED_TRACE(testing::Message() << '"' << c.filter << "\" id 0x" << std::hex << c.id);
    SetUp();
    state_.rx_count = state_.line_no = 0;
    SetFilter(c.filter);
    const std::size_t before = view_.Text().size();
    ShowFlushed(Record(c.id, c.extended, 500));
    EXPECT_EQ(view_.RxText(), "RX:1");
    EXPECT_EQ(state_.line_no, c.shown ? 1u : 0u);
    EXPECT_EQ(view_.Text().size() > before, c.shown);
    EXPECT_EQ(state_.flush_due, !c.shown);  // a hidden record never flushes
  }
}

TEST_F(ReceiveLogTest, hidden_record_counts_but_keeps_delta_base_and_pending_text) {
  SetFilter("100");
  Show(Record(0x100, false, 1000));
  const std::string pending = frame::PendingText();
  ShowFlushed(Record(0x200, false, 3000));
  EXPECT_EQ(view_.RxText(), "RX:2");
  EXPECT_EQ(frame::PendingText(), pending);
  EXPECT_TRUE(view_.Text().empty());
  ShowFlushed(Record(0x100, false, 1500));
  EXPECT_EQ(view_.Text(), "0   1000ms      100 -\r\n1    500ms      100 -\r\n");
}

TEST_F(ReceiveLogTest, lines_wait_for_the_flush_flag_and_arrive_in_order) {
  Show(Record(0x1, false, 10));
  Show(Record(0x2, false, 20));
  EXPECT_TRUE(view_.Text().empty());
  EXPECT_EQ(view_.ScrollCount(), 0u);

  ShowFlushed(Record(0x3, false, 25));
  EXPECT_FALSE(state_.flush_due);
  EXPECT_EQ(view_.Text(),
            "0     10ms      001 -\r\n1     10ms      002 -\r\n2      5ms      003 -\r\n");
  EXPECT_TRUE(frame::PendingText().empty());
  EXPECT_EQ(view_.ScrollCount(), 1u);
  EXPECT_EQ(view_.SelStart(), view_.Text().size());  // caret after the insert

  Show(Record(0x4, false, 30));  // flag lowered by the flush: waits again
  EXPECT_EQ(frame::PendingText(), "3      5ms      004 -\r\n");
}

TEST_F(ReceiveLogTest, trim_starts_above_1000_lines_and_cuts_the_pending_length) {
  state_.line_no = 998;
  view_.ReplaceSel("older text\r\n");
  ShowFlushed(Record(0x5, false, 0));
  ShowFlushed(Record(0x5, false, 0));  // line number 1000: not above, nothing cut
  EXPECT_EQ(view_.Text(), "older text\r\n998      0ms      005 -\r\n999      0ms      005 -\r\n");

  // From then on each flush cuts from the top as many characters as it adds.
  std::string before = view_.Text();
  ShowFlushed(Record(0x5, false, 0));
  std::string added = "1000      0ms      005 -\r\n";
  EXPECT_EQ(view_.Text(), before.substr(added.size()) + added);

  before = view_.Text();
  Show(Record(0x5, false, 0));
  ShowFlushed(Record(0x5, false, 0, 1));
  added = "1001      0ms      005 -\r\n1002      0ms      005 - 11\r\n";
  EXPECT_EQ(view_.Text(), before.substr(added.size()) + added);
  EXPECT_EQ(view_.LastOverflowCut(), 0u);
}

// More lines than the view keeps gathered for one flush, before and past the trim point: the
// view ends with exactly the newest lines that fit, as if every line had been inserted.
TEST_F(ReceiveLogTest, a_flush_of_more_than_the_view_keeps_shows_the_newest_lines_that_fit) {
  for (const std::uint64_t first_line : {0u, 5000u}) {
    for (const std::size_t limit :
         {std::size_t{20}, std::size_t{300}, std::size_t{301}, std::size_t{1000}}) {
      SCOPED_TRACE(testing::Message() << "line " << first_line << ", limit " << limit);
      SetUp();
      frame::MemoryLogView view(limit);
      view.ReplaceSel("older text\r\n");
      state_.line_no = first_line;
      std::string all;  // every pending line, formatted
      for (std::uint16_t i = 0; i < 200; ++i) {
        const FrameRecord rec = Record(0x100 + i, i % 3 == 0, static_cast<std::uint16_t>(i * 7),
                                       static_cast<std::uint8_t>(i % 10));
        char line[frame::kMaxLogLine];
        all.append(line, frame::FormatLogLine(line, state_.line_no, i == 0 ? 0 : 7,
                                              frame::DecodeRecord(rec.data())));
        state_.flush_due = i == 199;
        frame::ShowRecord(state_.Context(view), rec.data());
      }
      frame::MemoryLogView expected(limit);
      expected.ReplaceSel("older text\r\n");
      if (first_line + 200 > frame::kTrimAfterLines) {
        expected.SetSel(0, static_cast<std::int32_t>(all.size()));
        expected.ReplaceSel("");
      }
      expected.SetSel(frame::kCaretAtEnd, frame::kCaretAtEnd);
      expected.ReplaceSel(all);
      EXPECT_EQ(view.Text(), expected.Text());
      EXPECT_EQ(view.SelStart(), view.Text().size());
      EXPECT_TRUE(frame::PendingText().empty());
    }
  }
}

TEST_F(ReceiveLogTest, counters_past_32_bits_print_in_full) {
  state_.rx_count = 4294967295u;
  state_.line_no = 4294967296u;
  ShowFlushed(Record(0x10, false, 0));
  EXPECT_EQ(view_.RxText(), "RX:4294967296");
  EXPECT_EQ(state_.line_no, 4294967297u);
  EXPECT_EQ(view_.Text(), "4294967296      0ms      010 -\r\n");
}

TEST_F(ReceiveLogTest, overflow_keeps_newest_whole_lines_before_trim_starts) {
  frame::MemoryLogView small(100);
  bool flush = false;
  for (int i = 0; i < 20; ++i) {
    flush = true;
    const FrameRecord rec = Record(0x7FF, false, 0, 0);
    frame::ShowRecord(
        {state_.rx_count, state_.line_no, flush, state_.filter_text, state_.filter_id, small},
        rec.data());
  }
  // Lines "NN      0ms      7FF -\r\n" are 24 characters: four fit.
  EXPECT_EQ(small.Text(),
            "16      0ms      7FF -\r\n17      0ms      7FF -\r\n"
            "18      0ms      7FF -\r\n19      0ms      7FF -\r\n");
}

}  // namespace
