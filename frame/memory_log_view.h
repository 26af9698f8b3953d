// An in-memory log view with the edit-control selection semantics and the 64000-character
// limit, for tools, tests and benchmarks (and as the text model behind the window's view).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "frame/log_view.h"
#include "frame/receive_log.h"

namespace frame {

class MemoryLogView : public LogView {
 public:
  explicit MemoryLogView(std::size_t limit = kLogTextLimit);

  void SetSel(std::int32_t start, std::int32_t end) override;
  void ScrollCaret() override;
  void ReplaceSel(std::string_view text) override;
  void SetRxText(std::string_view text) override;
  std::size_t TextLimit() const override { return limit_; }

  const std::string& Text() const { return text_; }
  const std::string& RxText() const { return rx_text_; }
  std::size_t SelStart() const { return sel_start_; }
  std::size_t SelEnd() const { return sel_end_; }
  std::size_t ScrollCount() const { return scrolls_; }
  std::size_t Limit() const { return limit_; }
  // Leading characters dropped by the last ReplaceSel to stay within the limit.
  std::size_t LastOverflowCut() const { return last_cut_; }

 private:
  std::size_t limit_;
  std::string text_;
  std::string rx_text_;
  std::size_t sel_start_ = 0;
  std::size_t sel_end_ = 0;
  std::size_t scrolls_ = 0;
  std::size_t last_cut_ = 0;
};

}  // namespace frame
