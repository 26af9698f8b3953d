#include "app/log_edit.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <utility>

#include "app/doc_edit_plan.h"

namespace app {

namespace {
constexpr qreal kDefaultRefreshHz = 60;
}  // namespace

LogEdit::LogEdit() : model_(frame::kLogTextLimit) {
  rx_timer_.setSingleShot(true);
  rx_timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&rx_timer_, &QTimer::timeout, [this] { ShowRxText(); });
}

void LogEdit::Attach(QPlainTextEdit* edit) {
  edit_ = edit;
  if (edit_ == nullptr) return;
  edit_->setUndoRedoEnabled(false);
  ReloadDocument();
}

void LogEdit::AttachRxLabel(QLabel* label) { rx_label_ = label; }

void LogEdit::LimitText(std::size_t limit) {
  if (limit == model_.Limit()) return;
  const std::string text = model_.Text();
  model_ = frame::MemoryLogView(limit);
  if (!text.empty()) {
    model_.SetSel(0, 0);
    model_.ReplaceSel(text);
  }
  ReloadDocument();
}

void LogEdit::SetSel(std::int32_t start, std::int32_t end) { model_.SetSel(start, end); }

void LogEdit::ScrollCaret() {
  model_.ScrollCaret();
  scroll_to_end_ = true;
}

void LogEdit::ReplaceSel(std::string_view text) {
  const std::string& current = model_.Text();
  const std::size_t s = std::min(model_.SelStart(), current.size());
  const std::size_t e = std::clamp(model_.SelEnd(), s, current.size());
  if (edit_ == nullptr) {
    model_.ReplaceSel(text);
    return;
  }
  // The edits are planned on the text before the change; the cut is known only after it.
  const std::string before = current;
  model_.ReplaceSel(text);
  const std::vector<DocEdit> edits = PlanReplace(before, s, e, text, model_.LastOverflowCut());

  const bool follow = scroll_to_end_ && model_.SelEnd() == model_.Text().size();
  scroll_to_end_ = false;
  edit_->setUpdatesEnabled(false);
  QTextCursor cursor(edit_->document());
  for (const DocEdit& edit : edits) {
    cursor.setPosition(static_cast<int>(edit.start));
    cursor.setPosition(static_cast<int>(edit.end), QTextCursor::KeepAnchor);
    if (edit.text.empty()) {
      cursor.removeSelectedText();
    } else {
      // Log text is ASCII: one byte, one character, so positions carry over one to one.
      cursor.insertText(
          QString::fromLatin1(edit.text.data(), static_cast<qsizetype>(edit.text.size())));
    }
  }
  if (follow) {
    QScrollBar* bar = edit_->verticalScrollBar();
    bar->setValue(bar->maximum());
  }
  edit_->setUpdatesEnabled(true);
}

void LogEdit::SetRxText(std::string_view text) {
  rx_text_.assign(text);
  rx_dirty_ = true;
  if (batch_depth_ == 0) ScheduleRxText();
}

void LogEdit::BeginBatch() { ++batch_depth_; }

void LogEdit::EndBatch() {
  if (batch_depth_ > 0 && --batch_depth_ == 0) ScheduleRxText();
}

void LogEdit::DiscardRxText() {
  rx_dirty_ = false;
  rx_timer_.stop();
}

int LogEdit::RefreshPeriodMs() const {
  if (refresh_period_ms_ > 0) return refresh_period_ms_;
  qreal hz = kDefaultRefreshHz;
  if (rx_label_ != nullptr && rx_label_->screen() != nullptr)
    hz = rx_label_->screen()->refreshRate();
  if (hz < 1 || hz > 1000) hz = kDefaultRefreshHz;
  return std::max(1, static_cast<int>(1000 / hz));
}

void LogEdit::ScheduleRxText() {
  if (!rx_dirty_ || rx_timer_.isActive()) return;  // a pending show takes the latest text
  const int period = RefreshPeriodMs();
  const qint64 since = rx_shown_.isValid() ? rx_shown_.elapsed() : period;
  if (since >= period) {
    ShowRxText();
  } else {
    rx_timer_.start(static_cast<int>(period - since));
  }
}

void LogEdit::ShowRxText() {
  if (!rx_dirty_) return;
  rx_dirty_ = false;
  rx_shown_.start();
  if (rx_label_ != nullptr) {
    rx_label_->setText(
        QString::fromLatin1(rx_text_.data(), static_cast<qsizetype>(rx_text_.size())));
  }
}

void LogEdit::ReloadDocument() {
  if (edit_ == nullptr) return;
  const std::string& text = model_.Text();
  edit_->setPlainText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

}  // namespace app
