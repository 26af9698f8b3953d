// The dialog template: styles and tab order of the real controls, the dialog-unit
// arithmetic and the font.
#include <QCheckBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QValidator>
#include <QtTest>

#include "app/dialog_template.h"

class DialogTemplateTest : public QObject {
  Q_OBJECT

 private slots:
  void the_dialog_has_its_caption_styles_and_tab_order() {
    QWidget dialog;
    app::BuildDialog(dialog);
    dialog.show();
    QCOMPARE(dialog.windowTitle(), QStringLiteral("zelk_test"));
    auto* ok = qobject_cast<QPushButton*>(app::FindDlgItem(dialog, app::IDOK));
    QVERIFY(ok->isDefault());
    QVERIFY(!ok->isVisible());
    QVERIFY(!app::FindDlgItem(dialog, app::IDCANCEL)->isVisible());
    auto* log = qobject_cast<QPlainTextEdit*>(app::FindDlgItem(dialog, app::IDC_LOG));
    QVERIFY(log->isReadOnly());
    QCOMPARE(log->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QCOMPARE(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    auto* interval = qobject_cast<QLineEdit*>(app::FindDlgItem(dialog, app::IDC_INTERVAL));
    QVERIFY(interval->alignment() & Qt::AlignRight);
    QString digits = QStringLiteral("12a");
    int at = 0;
    QCOMPARE(interval->validator()->validate(digits, at), QValidator::Invalid);
    QString empty;
    QCOMPARE(interval->validator()->validate(empty, at), QValidator::Acceptable);
    QCOMPARE(qobject_cast<QLabel*>(app::FindDlgItem(dialog, app::IDC_RX_COUNT))->focusPolicy(),
             Qt::NoFocus);

    // Tab from the log walks the visible tab stops in template order and wraps around.
    const int order[] = {app::IDC_LOG,       app::IDC_CLEAR, app::IDC_PAUSE,    app::IDC_FILTER_ID,
                         app::IDC_SEND_DATA, app::IDC_SEND,  app::IDC_INTERVAL, app::IDC_TIMER};
    QWidget* w = app::FindDlgItem(dialog, app::IDC_LOG);
    for (std::size_t i = 1; i <= std::size(order); ++i) {
      w = w->nextInFocusChain();
      while (!w->isVisible() || w->focusPolicy() == Qt::NoFocus || w->parentWidget() != &dialog) {
        w = w->nextInFocusChain();
      }
      QCOMPARE(w->property(app::kDlgIdProperty).toInt(), order[i % std::size(order)]);
    }
  }

  void dialog_units_follow_the_average_character_size() {
    // 52 letters 375 px wide: (375 / 26 + 1) / 2 = 7; height 14.
    const app::DialogUnits units = app::DialogUnits::FromMetrics(375, 14);
    QCOMPARE(units.char_width, 7);
    QCOMPARE(units.X(235), 411);  // 235 * 7 / 4 = 411.25
    QCOMPARE(units.Y(507), 887);  // 507 * 14 / 8 = 887.25
    QCOMPARE(units.X(2), 4);      // 3.5 rounds up
    QCOMPARE(units.ToPixels(QRect(7, 7, 220, 456)), QRect(12, 12, 385, 798));
    // SimSun 9 pt on Windows: 6 x 12, the template's 235 x 507 as 353 x 761.
    const app::DialogUnits simsun = app::DialogUnits::FromMetrics(312, 12);
    QCOMPARE(simsun.X(235), 353);
    QCOMPARE(simsun.Y(507), 761);
  }

  void the_font_is_nine_points_and_fixed_pitch() {
    const QFont font = app::DialogFont();
    QCOMPARE(font.pointSize(), 9);
    QVERIFY(QFontInfo(font).fixedPitch());
  }

  // The log and the static texts are laid out without OpenType shaping, which must not change
  // a pixel: the window drawn with the window's texts, once as built and once with shaping.
  void the_window_looks_the_same_without_text_shaping() {
    const auto render = [](bool shaping) {
      QWidget dialog;
      app::BuildDialog(dialog);
      QString log;
      for (int i = 0; i < 60; ++i) {
        log += QStringLiteral("%1 %2ms %3 - 0A 1B 2C 3D 4E 5F 67 89\n")
                   .arg(i * 1234567)
                   .arg(i * 7, 6)
                   .arg(0x1FEDCBA0u + static_cast<unsigned>(i) * 0x10101u, 8, 16, QChar(u'0'))
                   .toUpper();
      }
      auto* edit = qobject_cast<QPlainTextEdit*>(app::FindDlgItem(dialog, app::IDC_LOG));
      auto* rx = qobject_cast<QLabel*>(app::FindDlgItem(dialog, app::IDC_RX_COUNT));
      edit->setPlainText(log);
      rx->setText("RX:1234567890");
      qobject_cast<QLabel*>(app::FindDlgItem(dialog, app::IDC_TX_COUNT))->setText("TX:9876543210");
      if (shaping) {
        for (QWidget* control : dialog.findChildren<QWidget*>()) {
          QFont font = control->font();
          font.setStyleStrategy(QFont::PreferDefault);
          control->setFont(font);
        }
      } else {
        if (!(edit->font().styleStrategy() & QFont::PreferNoShaping)) return QImage();
        if (!(rx->font().styleStrategy() & QFont::PreferNoShaping)) return QImage();
      }
      dialog.show();
      return dialog.grab().toImage();
    };
    const QImage shaped = render(true);
    const QImage unshaped = render(false);
    QVERIFY(!shaped.isNull());
    QVERIFY(!unshaped.isNull());  // null: the log or the counter is still shaped
    QVERIFY2(shaped == unshaped, qPrintable(QFontInfo(app::DialogFont()).family()));
  }
};

QTEST_MAIN(DialogTemplateTest)
#include "dialog_template_test.moc"
