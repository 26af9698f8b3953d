// The log control: every change of the text model is mirrored exactly into the widget, the
// limit and the overflow rule hold, the end stays in view, and the RX label is batched. The
// receive log driving it through the dialog is covered by the dialog's saturated-flush test.
#include <QLabel>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QtTest>

#include "app/doc_edit_plan.h"
#include "app/log_edit.h"
#include "frame/memory_log_view.h"

namespace {

std::string RandomText(QRandomGenerator& random, int max_length) {
  // Heavy on line breaks and lone '\r'/'\n', so that cuts fall inside "\r\n" pairs.
  static const char kAlphabet[] = "ab\r\n\r\n\r\n";
  std::string text;
  const int length = random.bounded(max_length + 1);
  for (int i = 0; i < length; ++i) {
    text.push_back(kAlphabet[random.bounded(static_cast<int>(sizeof kAlphabet - 1))]);
  }
  return text;
}

}  // namespace

class LogEditTest : public QObject {
  Q_OBJECT

 private slots:
  void random_edits_keep_the_widget_equal_to_the_model_data() {
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("limit");
    for (quint32 seed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
      QTest::addRow("seed %u limit 40", seed) << seed << 40;
      QTest::addRow("seed %u limit 400", seed) << seed << 400;
    }
  }
  void random_edits_keep_the_widget_equal_to_the_model() {
    QFETCH(quint32, seed);
    QFETCH(int, limit);
    QPlainTextEdit widget;
    app::LogEdit log;
    log.Attach(&widget);
    log.LimitText(static_cast<std::size_t>(limit));
    frame::MemoryLogView reference(static_cast<std::size_t>(limit));
    QRandomGenerator random(seed);
    for (int step = 0; step < 400; ++step) {
      const int size = static_cast<int>(reference.Text().size());
      std::int32_t start = 0;
      std::int32_t end = 0;
      switch (random.bounded(4)) {
        case 0:
          start = end = frame::kCaretAtEnd;
          break;  // append
        case 1:
          start = 0;
          end = random.bounded(size + 3);
          break;  // cut from the top
        case 2:
          start = 0;
          end = -1;
          break;  // select all
        default:
          start = random.bounded(size + 2);
          end = random.bounded(size + 2);
          break;
      }
      const std::string inserted = RandomText(random, limit / 2);
      log.SetSel(start, end);
      reference.SetSel(start, end);
      log.ReplaceSel(inserted);
      reference.ReplaceSel(inserted);
      QCOMPARE(log.Text(), reference.Text());
      const std::string shown = widget.toPlainText().toStdString();
      if (shown != app::DocumentText(reference.Text())) {
        QFAIL(qPrintable(QStringLiteral("step %1: widget differs from the model").arg(step)));
      }
    }
  }

  void an_append_after_scroll_caret_keeps_the_end_in_view() {
    QPlainTextEdit widget;
    widget.resize(200, 100);
    widget.show();
    app::LogEdit log;
    log.Attach(&widget);
    std::string lines;
    for (int i = 0; i < 200; ++i) lines += "line " + std::to_string(i) + "\r\n";
    log.SetSel(frame::kCaretAtEnd, frame::kCaretAtEnd);
    log.ScrollCaret();
    log.ReplaceSel(lines);
    QScrollBar* bar = widget.verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    // Without ScrollCaret the view stays where it is.
    bar->setValue(0);
    log.SetSel(frame::kCaretAtEnd, frame::kCaretAtEnd);
    log.ReplaceSel("more\r\n");
    QCOMPARE(bar->value(), 0);
  }

  void the_rx_label_shows_the_latest_text_at_most_once_per_refresh_period() {
    QLabel rx;
    app::LogEdit log;
    log.AttachRxLabel(&rx);
    log.SetRefreshPeriodMs(60'000);  // longer than the test: every later text waits
    log.SetRxText("RX:1");           // idle: shown at once
    QCOMPARE(rx.text(), QStringLiteral("RX:1"));
    log.BeginBatch();
    log.SetRxText("RX:2");
    log.SetRxText("RX:3");
    log.EndBatch();
    log.SetRxText("RX:4");
    QCOMPARE(rx.text(), QStringLiteral("RX:1"));
    QVERIFY(log.RxTextPending());
    log.DiscardRxText();  // as Clear does: the waiting text never reaches the label
    QVERIFY(!log.RxTextPending());

    // With a short period the latest text follows by itself.
    app::LogEdit fast;
    fast.AttachRxLabel(&rx);
    fast.SetRefreshPeriodMs(20);
    fast.SetRxText("RX:5");
    fast.SetRxText("RX:6");
    fast.SetRxText("RX:7");
    QTRY_COMPARE(rx.text(), QStringLiteral("RX:7"));
    QVERIFY(!fast.RxTextPending());
  }
};

QTEST_MAIN(LogEditTest)
#include "log_edit_test.moc"
