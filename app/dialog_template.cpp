#include "app/dialog_template.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QWidget>
#include <array>

namespace app {
namespace {

constexpr std::array kControls = {
    ControlDef{IDOK, ControlKind::kDefPushButton, "确定", {163, 151, 50, 14}, kTabStop | kHidden},
    ControlDef{IDCANCEL, ControlKind::kPushButton, "取消", {149, 81, 50, 14}, kTabStop | kHidden},
    ControlDef{IDC_RX_COUNT, ControlKind::kStatic, "RX:0", {95, 469, 40, 8}, kGroup},
    ControlDef{IDC_LOG,
               ControlKind::kMultiLineEdit,
               "",
               {7, 7, 220, 456},
               kReadOnly | kVScroll | kBorder | kTabStop},
    ControlDef{IDC_CLEAR, ControlKind::kPushButton, "Clear", {43, 467, 26, 14}, kTabStop},
    ControlDef{IDC_PAUSE, ControlKind::kPushButton, "Pause", {68, 467, 25, 14}, kTabStop},
    ControlDef{IDC_FILTER_ID,
               ControlKind::kEdit,
               "",
               {17, 469, 25, 12},
               kAutoHScroll | kBorder | kTabStop},
    ControlDef{IDC_STATIC, ControlKind::kStatic, "ID", {7, 471, 8, 8}, kAlignRight | kGroup},
    ControlDef{IDC_SEND_DATA,
               ControlKind::kEdit,
               "",
               {7, 487, 138, 13},
               kAutoHScroll | kBorder | kTabStop},
    ControlDef{IDC_SEND, ControlKind::kPushButton, "Send", {146, 487, 24, 13}, kTabStop},
    ControlDef{IDC_INTERVAL,
               ControlKind::kEdit,
               "",
               {185, 487, 28, 13},
               kNumber | kAlignRight | kAutoHScroll | kBorder | kTabStop},
    ControlDef{IDC_STATIC, ControlKind::kStatic, "ms", {218, 489, 9, 11}, kGroup},
    ControlDef{IDC_TX_COUNT, ControlKind::kStatic, "TX:0", {142, 469, 40, 8}, kGroup},
    ControlDef{IDC_TIMER, ControlKind::kAutoCheckBox, "Timer", {185, 468, 31, 13}, kTabStop},
};

// MulDiv for a positive divisor: a * b / c rounded half away from zero.
int MulDiv(int a, int b, int c) {
  const long long product = static_cast<long long>(a) * b;
  return static_cast<int>(product >= 0 ? (product + c / 2) / c : -((-product + c / 2) / c));
}

// The log and the static texts show only the window's own text (digits, letters and a few
// signs), which a fixed-pitch font draws the same with or without OpenType shaping: no kerning,
// no ligatures. Without shaping a line costs less to lay out, and these lines are laid out
// often: the RX counter at every display refresh, the log's visible lines at every flush. The
// boxes the user types into keep shaping for whatever is typed.
void LayOutWithoutShaping(QWidget& control) {
  QFont font;  // only the strategy is set; the rest still comes from the dialog's font
  font.setStyleStrategy(QFont::PreferNoShaping);
  control.setFont(font);
}

QWidget* MakeControl(const ControlDef& def, QWidget& dialog) {
  const QString text = QString::fromUtf8(def.text);
  switch (def.kind) {
    case ControlKind::kDefPushButton:
    case ControlKind::kPushButton: {
      auto* button = new QPushButton(text, &dialog);
      // Enter is routed by the dialog itself (see CZelk_testDlg::keyPressEvent).
      button->setAutoDefault(false);
      button->setDefault(def.kind == ControlKind::kDefPushButton);
      return button;
    }
    case ControlKind::kStatic: {
      auto* label = new QLabel(text, &dialog);
      // A static control shows its text as it is: no markup, so a new counter text is not
      // examined for rich text.
      label->setTextFormat(Qt::PlainText);
      label->setAlignment(((def.style & kAlignRight) != 0 ? Qt::AlignRight : Qt::AlignLeft) |
                          Qt::AlignTop);
      LayOutWithoutShaping(*label);
      return label;
    }
    case ControlKind::kEdit: {
      auto* edit = new QLineEdit(text, &dialog);
      edit->setFrame((def.style & kBorder) != 0);
      if ((def.style & kAlignRight) != 0) edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
      if ((def.style & kNumber) != 0) {
        // Digits only; an empty box stays possible.
        edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
      }
      return edit;
    }
    case ControlKind::kMultiLineEdit: {
      auto* edit = new QPlainTextEdit(text, &dialog);
      edit->setReadOnly((def.style & kReadOnly) != 0);
      edit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
      edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
      edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
      edit->setVerticalScrollBarPolicy((def.style & kVScroll) != 0 ? Qt::ScrollBarAlwaysOn
                                                                   : Qt::ScrollBarAlwaysOff);
      edit->setUndoRedoEnabled(false);
      LayOutWithoutShaping(*edit);
      return edit;
    }
    case ControlKind::kAutoCheckBox:
      return new QCheckBox(text, &dialog);
  }
  return nullptr;
}

}  // namespace

std::span<const ControlDef> DialogControls() { return kControls; }

QFont DialogFont() {
  // SimSun first; then DejaVu Sans Mono, the fixed-pitch font whose line height comes
  // closest to SimSun's (a taller one stretches the 507-unit dialog past small screens);
  // then whatever fixed-pitch font the system names.
  const QStringList families = QFontDatabase::families();
  const QString preferred[] = {QStringLiteral("SimSun"), QString::fromUtf8("宋体"),
                               QStringLiteral("NSimSun"), QStringLiteral("DejaVu Sans Mono")};
  for (const QString& name : preferred) {
    if (families.contains(name, Qt::CaseInsensitive)) {
      QFont font(name);
      font.setPointSize(kDialogFontPoints);
      return font;
    }
  }
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPointSize(kDialogFontPoints);
  return font;
}

DialogUnits DialogUnits::FromMetrics(int alphabet_width, int height) {
  // GdiGetCharDimensions: (width of the 52 letters / 26 + 1) / 2.
  return DialogUnits{(alphabet_width / 26 + 1) / 2, height};
}

DialogUnits DialogUnits::ForFont(const QFont& font) {
  const QFontMetrics metrics(font);
  return FromMetrics(metrics.horizontalAdvance(
                         QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")),
                     metrics.height());
}

int DialogUnits::X(int du) const { return MulDiv(du, char_width, 4); }
int DialogUnits::Y(int du) const { return MulDiv(du, char_height, 8); }

QRect DialogUnits::ToPixels(const QRect& du) const {
  return QRect(X(du.x()), Y(du.y()), X(du.width()), Y(du.height()));
}

void BuildDialog(QWidget& dialog) {
  dialog.setFont(DialogFont());
  dialog.setWindowTitle(QString::fromUtf8(kDialogCaption));
  const DialogUnits units = DialogUnits::ForFont(dialog.font());

  QWidget* previous = nullptr;
  for (const ControlDef& def : kControls) {
    QWidget* control = MakeControl(def, dialog);
    control->setProperty(kDlgIdProperty, def.id);
    // Every control keeps the rectangle of its template. The fixed size also tells Qt that a
    // control's size never follows its text, so a new text (the RX counter's, up to once per
    // display refresh) asks the dialog for no layout pass.
    const QRect rect = units.ToPixels(def.du);
    control->setGeometry(rect);
    control->setFixedSize(rect.size());
    if ((def.style & kTabStop) == 0) control->setFocusPolicy(Qt::NoFocus);
    if ((def.style & kHidden) != 0) control->setVisible(false);
    if ((def.style & kTabStop) != 0) {
      if (previous != nullptr) QWidget::setTabOrder(previous, control);
      previous = control;
    }
  }
  dialog.setFixedSize(units.X(kDialogWidthDu), units.Y(kDialogHeightDu));
}

QWidget* FindDlgItem(const QWidget& dialog, int id) {
  for (QObject* child : dialog.children()) {
    auto* widget = qobject_cast<QWidget*>(child);
    if (widget != nullptr && widget->property(kDlgIdProperty).toInt() == id &&
        widget->property(kDlgIdProperty).isValid()) {
      return widget;
    }
  }
  return nullptr;
}

}  // namespace app
