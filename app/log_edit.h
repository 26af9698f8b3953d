// The log control: a read-only QPlainTextEdit driven through the edit-control operations the
// receive log is written against.
//
// A frame::MemoryLogView holds the authoritative text (lines ending in "\r\n"), the selection
// and the character limit; every change is mirrored into the widget's document as a small
// edit (remove from the top, insert at the end) rather than a reload, so a full log that is
// cut and appended on every flush stays cheap. The widget wraps long lines at its width and
// keeps the end in view after an append that followed a ScrollCaret.
//
// The RX label text is set for every record, but the label is repainted at most at the
// display's refresh rate: a text set within one refresh period of the last shown one waits
// (as does every text within a batch, one bus notification) and only the latest is shown, at
// the end of the period. The log itself is written at the 400 ms flush only. Setting the text
// copies it into a buffer that keeps its capacity, so a record allocates nothing.
//
// Threads: GUI thread only.
#pragma once

#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTimer>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "frame/log_view.h"
#include "frame/memory_log_view.h"

namespace app {

class LogEdit : public frame::LogView {
 public:
  LogEdit();

  // Binds the widget (once); the label shows the RX count.
  void Attach(QPlainTextEdit* edit);
  void AttachRxLabel(QLabel* label);
  bool IsAttached() const { return !edit_.isNull(); }
  QPlainTextEdit* Widget() const { return edit_; }

  // EM_LIMITTEXT: the most characters the log keeps.
  void LimitText(std::size_t limit);

  void SetSel(std::int32_t start, std::int32_t end) override;
  void ScrollCaret() override;
  void ReplaceSel(std::string_view text) override;
  void SetRxText(std::string_view text) override;
  std::size_t TextLimit() const override { return model_.Limit(); }

  // Between these, SetRxText only records the text; EndBatch shows the last one (now, or
  // at the end of the refresh period).
  void BeginBatch();
  void EndBatch();
  // Forgets a text not shown yet (Clear sets the label itself).
  void DiscardRxText();
  bool RxTextPending() const { return rx_dirty_; }
  // The label's refresh period; 0 (the default) takes it from the label's screen.
  void SetRefreshPeriodMs(int ms) { refresh_period_ms_ = ms; }

  const std::string& Text() const { return model_.Text(); }
  std::size_t Limit() const { return model_.Limit(); }

 private:
  void ShowRxText();
  void ScheduleRxText();
  int RefreshPeriodMs() const;
  void ReloadDocument();

  frame::MemoryLogView model_;
  QPointer<QPlainTextEdit> edit_;
  QPointer<QLabel> rx_label_;
  std::string rx_text_;
  bool rx_dirty_ = false;
  QTimer rx_timer_;         // single shot: the end of the refresh period
  QElapsedTimer rx_shown_;  // since the label was last set
  int refresh_period_ms_ = 0;
  int batch_depth_ = 0;
  bool scroll_to_end_ = false;
};

}  // namespace app
