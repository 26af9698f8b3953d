#include "frame/memory_log_view.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "frame/log_limit.h"

namespace {

struct CutCase {
  std::string_view text;
  std::size_t limit;
  std::size_t cut;
};

constexpr CutCase kCutCases[] = {
    {"", 0, 0},
    {"abc\r\n", 5, 0},                  // fits exactly
    {"aaaa\r\nbbbb\r\ncc\r\n", 10, 6},  // drops the first whole line
    {"aaaa\r\nbbbb\r\ncc\r\n", 11, 6},
    {"aaaa\r\nbbbb\r\ncc\r\n", 4, 12},  // only the last line fits
    {"aaaa\r\nbbbb\r\ncc\r\n", 3, 13},  // last line too long: last 3 characters
    {"aaaa\r\nbbbb\r\ncc\r\n", 0, 16},
    {"0123456789", 4, 6},              // no line break at all
    {"ab\nc\nlong line here", 5, 14},  // unterminated last line too long
    {"ab\nc\nxy", 5, 3},               // cut moves on to the next line start
};

TEST(log_limit, keeps_newest_whole_lines_within_the_limit) {
  for (const CutCase& c : kCutCases) {
    SCOPED_TRACE(testing::Message() << '"' << c.text << "\" limit " << c.limit);
    const std::size_t cut = frame::LeadingCutForLimit(c.text, c.limit);
    EXPECT_EQ(cut, c.cut);
    EXPECT_LE(c.text.size() - cut, c.limit);
  }
}

struct SelCase {
  std::int32_t start;
  std::int32_t end;
  std::size_t sel_start;
  std::size_t sel_end;
};

// Applied to "abcdef" whose selection was (2, 4) before.
constexpr SelCase kSelCases[] = {
    {0, -1, 0, 6},                         // select all
    {1, 3, 1, 3},           {4, 1, 1, 4},  // reversed range
    {3, 100, 3, 6},                        // clamped to the length
    {0xFFFF, 0xFFFF, 6, 6},                // caret to the end
    {-1, 0, 4, 4},                         // deselect: caret stays where it was
    {-1, -1, 4, 4},         {5, -1, 5, 6},
};

TEST(memory_log_view, set_sel_follows_edit_control_rules) {
  for (const SelCase& c : kSelCases) {
    SCOPED_TRACE(testing::Message() << "SetSel(" << c.start << ", " << c.end << ")");
    frame::MemoryLogView view;
    view.ReplaceSel("abcdef");
    view.SetSel(2, 4);
    view.SetSel(c.start, c.end);
    EXPECT_EQ(view.SelStart(), c.sel_start);
    EXPECT_EQ(view.SelEnd(), c.sel_end);
  }
}

TEST(memory_log_view, replace_sel_replaces_and_moves_the_caret) {
  frame::MemoryLogView view;
  view.ReplaceSel("hello world");
  view.SetSel(6, 11);
  view.ReplaceSel("there, you");
  EXPECT_EQ(view.Text(), "hello there, you");
  EXPECT_EQ(view.SelStart(), 16u);
  EXPECT_EQ(view.SelEnd(), 16u);

  view.SetSel(0, 6);
  view.ReplaceSel("");
  EXPECT_EQ(view.Text(), "there, you");
  EXPECT_EQ(view.SelStart(), 0u);

  view.SetSel(5, 5);
  view.ReplaceSel("!");
  EXPECT_EQ(view.Text(), "there!, you");
  EXPECT_EQ(view.SelEnd(), 6u);
}

TEST(memory_log_view, append_past_the_limit_drops_whole_lines_from_the_top) {
  frame::MemoryLogView view(20);
  view.ReplaceSel("line one\r\nline two\r\n");  // exactly 20
  EXPECT_EQ(view.LastOverflowCut(), 0u);
  view.SetSel(0xFFFF, 0xFFFF);
  view.ReplaceSel("three\r\n");
  EXPECT_EQ(view.Text(), "line two\r\nthree\r\n");
  EXPECT_EQ(view.LastOverflowCut(), 10u);
  EXPECT_EQ(view.SelStart(), view.Text().size());
}

TEST(memory_log_view, oversized_append_keeps_its_last_lines_that_fit) {
  frame::MemoryLogView view(12);
  view.ReplaceSel("old\r\n");
  view.SetSel(0xFFFF, 0xFFFF);
  view.ReplaceSel("first\r\nsecond\r\nthird\r\n");
  EXPECT_EQ(view.Text(), "third\r\n");
  EXPECT_EQ(view.SelStart(), 7u);

  view.SetSel(0xFFFF, 0xFFFF);
  view.ReplaceSel("a line far longer than twelve\r\n");
  EXPECT_LE(view.Text().size(), 12u);
  EXPECT_EQ(view.Text(), "han twelve\r\n");
}

TEST(memory_log_view, insert_at_the_top_that_overflows_clamps_the_caret) {
  frame::MemoryLogView view(10);
  view.ReplaceSel("12345\r\n");
  view.SetSel(0, 0);
  view.ReplaceSel("abcdefgh\r\n");  // "abcdefgh\r\n12345\r\n": first line dropped
  EXPECT_EQ(view.Text(), "12345\r\n");
  EXPECT_EQ(view.SelStart(), 0u);
}

TEST(memory_log_view, records_rx_text_and_scrolls) {
  frame::MemoryLogView view;
  EXPECT_EQ(view.Limit(), 64000u);
  view.SetRxText("RX:12");
  view.ScrollCaret();
  view.ScrollCaret();
  EXPECT_EQ(view.RxText(), "RX:12");
  EXPECT_EQ(view.ScrollCount(), 2u);
}

}  // namespace
