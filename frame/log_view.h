// The operations through which the receive log reaches a window.
//
// Positions follow the edit-control conventions the log is written against:
//   SetSel(0, -1)           selects all text
//   SetSel(0xFFFF, 0xFFFF)  puts the caret at the end (positions past the end are clamped)
//   SetSel(a, b) with a > b selects the same range as SetSel(b, a)
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

namespace frame {

class LogView {
 public:
  virtual ~LogView() = default;
  virtual void SetSel(std::int32_t start, std::int32_t end) = 0;
  virtual void ScrollCaret() = 0;
  // Replaces the selection with text (no undo); the caret ends after the inserted text.
  virtual void ReplaceSel(std::string_view text) = 0;
  // Sets the text of the RX counter label.
  virtual void SetRxText(std::string_view text) = 0;
  // The most characters the view keeps (an insert beyond it drops whole lines from the top,
  // see log_limit.h); a view that keeps everything says so with kNoTextLimit.
  static constexpr std::size_t kNoTextLimit = std::numeric_limits<std::size_t>::max();
  virtual std::size_t TextLimit() const { return kNoTextLimit; }
};

}  // namespace frame
