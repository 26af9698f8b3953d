#include "app/data_exchange.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QWidget>
#include <limits>

#include "app/log_edit.h"

namespace app {
namespace {

QString FromMember(const std::string& value) { return QString::fromStdString(value); }

// Sets a box's text only when it differs, so an unchanged box raises no change notification.
void SetTextIfChanged(QWidget* control, const QString& text) {
  if (auto* edit = qobject_cast<QLineEdit*>(control)) {
    if (edit->text() != text) edit->setText(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
    if (button->text() != text) button->setText(text);
  }
}

QString TextOf(const QWidget* control) {
  if (const auto* edit = qobject_cast<const QLineEdit*>(control)) return edit->text();
  if (const auto* button = qobject_cast<const QAbstractButton*>(control)) return button->text();
  return {};
}

}  // namespace

QWidget* DataExchange::PrepareCtrl(int id) {
  last_control_ = host_.GetDlgItem(id);
  return last_control_;
}

void DataExchange::Fail(const QString& message) {
  host_.MessageBox(message);
  failed_ = true;
  if (last_control_ != nullptr) {
    last_control_->setFocus(Qt::OtherFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(last_control_)) edit->selectAll();
  }
}

bool ParseUnsigned(const QString& text, std::uint32_t& value) {
  const QString digits = text.trimmed();
  if (digits.isEmpty()) return false;
  std::uint64_t result = 0;
  for (const QChar c : digits) {
    if (c < u'0' || c > u'9') return false;
    result = result * 10 + static_cast<std::uint64_t>(c.unicode() - u'0');
    if (result > std::numeric_limits<std::uint32_t>::max()) return false;
  }
  value = static_cast<std::uint32_t>(result);
  return true;
}

void DDX_Control(DataExchange& dx, int id, LogEdit& control) {
  if (dx.Failed()) return;
  auto* edit = qobject_cast<QPlainTextEdit*>(dx.PrepareCtrl(id));
  if (!control.IsAttached() && edit != nullptr) control.Attach(edit);
}

void DDX_Text(DataExchange& dx, int id, std::string& value) {
  if (dx.Failed()) return;
  QWidget* control = dx.PrepareCtrl(id);
  if (dx.m_bSaveAndValidate) {
    value = TextOf(control).toStdString();
  } else {
    SetTextIfChanged(control, FromMember(value));
  }
}

void DDX_Text(DataExchange& dx, int id, std::uint32_t& value) {
  if (dx.Failed()) return;
  QWidget* control = dx.PrepareCtrl(id);
  if (dx.m_bSaveAndValidate) {
    std::uint32_t parsed = 0;
    if (!ParseUnsigned(TextOf(control), parsed)) {
      dx.Fail(QStringLiteral("Please enter an unsigned integer."));
      return;
    }
    value = parsed;
  } else {
    SetTextIfChanged(control, QString::number(value));
  }
}

void DDV_MaxChars(DataExchange& dx, const std::string& value, int max_chars) {
  if (dx.Failed()) return;
  if (dx.m_bSaveAndValidate) {
    if (FromMember(value).size() > max_chars) {
      dx.Fail(QStringLiteral("Please enter no more than %1 characters.").arg(max_chars));
    }
  } else if (auto* edit = qobject_cast<QLineEdit*>(dx.LastControl())) {
    edit->setMaxLength(max_chars);
  }
}

void DDX_Check(DataExchange& dx, int id, bool& value) {
  if (dx.Failed()) return;
  auto* box = qobject_cast<QAbstractButton*>(dx.PrepareCtrl(id));
  if (box == nullptr) return;
  if (dx.m_bSaveAndValidate) {
    value = box->isChecked();
  } else if (box->isChecked() != value) {
    box->setChecked(value);
  }
}

}  // namespace app
