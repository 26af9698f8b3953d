#include "frame/memory_log_view.h"

#include <algorithm>
#include <utility>

#include "frame/log_limit.h"

namespace frame {

MemoryLogView::MemoryLogView(std::size_t limit) : limit_(limit) {}

void MemoryLogView::SetSel(std::int32_t start, std::int32_t end) {
  if (start < 0) {
    // Deselect: the caret stays where it is.
    sel_start_ = sel_end_;
    return;
  }
  const std::size_t length = text_.size();
  std::size_t s = std::min(static_cast<std::size_t>(start), length);
  std::size_t e = end < 0 ? length : std::min(static_cast<std::size_t>(end), length);
  if (s > e) std::swap(s, e);
  sel_start_ = s;
  sel_end_ = e;
}

void MemoryLogView::ScrollCaret() { ++scrolls_; }

void MemoryLogView::ReplaceSel(std::string_view text) {
  // The selection may be stale if the text shrank since it was set.
  const std::size_t s = std::min(sel_start_, text_.size());
  const std::size_t e = std::clamp(sel_end_, s, text_.size());
  text_.replace(s, e - s, text);
  std::size_t caret = s + text.size();

  last_cut_ = LeadingCutForLimit(text_, limit_);
  if (last_cut_ > 0) {
    text_.erase(0, last_cut_);
    caret = caret > last_cut_ ? caret - last_cut_ : 0;
  }
  sel_start_ = sel_end_ = caret;
}

void MemoryLogView::SetRxText(std::string_view text) { rx_text_.assign(text); }

}  // namespace frame
