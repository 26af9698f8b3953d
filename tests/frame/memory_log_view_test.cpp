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

struct OverflowCase {
  std::size_t limit;
  std::string_view before;
  std::int32_t sel;  // SetSel(sel, sel) before the insert
  std::string_view inserted;
  std::string_view after;
  std::size_t caret;
};

constexpr OverflowCase kOverflowCases[] = {
    // An append past the limit drops whole lines from the top.
    {20, "line one\r\nline two\r\n", 0xFFFF, "three\r\n", "line two\r\nthree\r\n", 17},
    // An append longer than the limit keeps its last lines that fit...
    {12, "old\r\n", 0xFFFF, "first\r\nsecond\r\nthird\r\n", "third\r\n", 7},
    // ...or, one line alone being too long, its last characters.
    {12, "old\r\n", 0xFFFF, "a line far longer than twelve\r\n", "han twelve\r\n", 12},
    // An insert at the top that overflows leaves the caret at the start.
    {10, "12345\r\n", 0, "abcdefgh\r\n", "12345\r\n", 0},
};

TEST(memory_log_view, overflow_keeps_the_newest_whole_lines) {
  for (const OverflowCase& c : kOverflowCases) {
    SCOPED_TRACE(c.inserted);
    frame::MemoryLogView view(c.limit);
    view.ReplaceSel(c.before);
    view.SetSel(c.sel, c.sel);
    view.ReplaceSel(c.inserted);
    EXPECT_EQ(view.Text(), c.after);
    EXPECT_EQ(view.SelStart(), c.caret);
    EXPECT_EQ(view.LastOverflowCut(), c.before.size() + c.inserted.size() - c.after.size());
  }
}

}  // namespace
