// The monitor dialog through its real widgets, against the real bus library and a hub on a
// private bus: receive, filter, pause, clear, send, the Timer box, Enter/Esc, validation.
#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QtTest>

#include "app/doc_edit_plan.h"
#include "app/zelk_test_dlg.h"
#include "app_test_support.h"
#include "frame/send_line.h"

using app_test::Ext;
using app_test::Std;

namespace {

// Counts the bus notifications that reach the dialog, handled or not.
class NotifyCounter : public QObject {
 public:
  int count = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == app::BusNotifyEvent::TypeId()) ++count;
    return false;
  }
};

template <typename T>
T* Item(CZelk_testDlg& dlg, int id) {
  return qobject_cast<T*>(dlg.GetDlgItem(id));
}

QString LogText(CZelk_testDlg& dlg) {
  return Item<QPlainTextEdit>(dlg, app::IDC_LOG)->toPlainText();
}
QString LabelText(CZelk_testDlg& dlg, int id) { return Item<QLabel>(dlg, id)->text(); }

void ReplaceText(QLineEdit* edit, const QString& text) {
  edit->setFocus();
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Backspace);
  if (!text.isEmpty()) QTest::keyClicks(edit, text);
}
void Click(CZelk_testDlg& dlg, int id) {
  QTest::mouseClick(qobject_cast<QAbstractButton*>(dlg.GetDlgItem(id)), Qt::LeftButton);
}
std::vector<std::uint8_t> Bytes(const char* send_line) {
  const frame::FrameRecord record = frame::EncodeSendLine(send_line);
  return {record.begin(), record.end()};
}

}  // namespace

class MonitorDialogTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<app_test::TestBus> bus_;
  QStringList messages_;

  // Opens the dialog and waits until the hub has registered it.
  void Open(CZelk_testDlg& dlg) {
    dlg.SetNotifier([this](const QString& text) { messages_.append(text); });
    dlg.show();
    QTRY_COMPARE(bus_->Clients(), std::uint64_t{1});
  }
  // Waits for the next flush tick.
  void WaitTick(CZelk_testDlg& dlg) {
    dlg.m_bFlushDue = false;
    QTRY_VERIFY(dlg.m_bFlushDue);
  }

 private slots:
  void initTestCase() {
    bus_ = std::make_unique<app_test::TestBus>();
    QVERIFY(bus_->Started());
  }
  void init() {
    app_test::ResetReceiveLog();
    messages_.clear();
    QTRY_COMPARE(bus_->Clients(), std::uint64_t{0});
  }
  void cleanupTestCase() { bus_.reset(); }

  void opening_fills_the_controls_and_binds_the_bus() {
    CZelk_testDlg dlg;
    Open(dlg);
    QCOMPARE(Item<QLineEdit>(dlg, app::IDC_SEND_DATA)->text(), QString(app::kDefaultSendLine));
    QCOMPARE(Item<QLineEdit>(dlg, app::IDC_INTERVAL)->text(), QStringLiteral("200"));
    QCOMPARE(Item<QLineEdit>(dlg, app::IDC_FILTER_ID)->maxLength(), 4);
    QCOMPARE(Item<QLineEdit>(dlg, app::IDC_SEND_DATA)->maxLength(), 32);
    QVERIFY(!Item<QCheckBox>(dlg, app::IDC_TIMER)->isChecked());
    QCOMPARE(dlg.m_nInterval, 0u);  // zeroed after the exchange; the box still shows 200
    QVERIFY(dlg.IsTimerRunning(app::kFlushTimerId));
    QVERIFY(!dlg.IsTimerRunning(app::kSendTimerId));
    QVERIFY(bus::IsBound());
    QVERIFY(!dlg.windowIcon().pixmap(32).isNull());  // the SVG icon renders
    QVERIFY(messages_.isEmpty());
    QCOMPARE(dlg.focusWidget(), dlg.GetDlgItem(app::IDC_LOG));
  }

  void received_records_reach_the_log_at_the_first_record_after_a_tick() {
    CZelk_testDlg dlg;
    Open(dlg);
    WaitTick(dlg);
    bus_->Deliver({Std(0x123, {0x01, 0xA0}, 5),
                   Ext(0x115599, {0, 0x22, 0x99, 0, 0, 0x11, 0x33, 0x33}, 1005)});
    QTRY_COMPARE(dlg.m_nRxCount, std::uint64_t{2});
    QTRY_COMPARE(LabelText(dlg, app::IDC_RX_COUNT), QStringLiteral("RX:2"));
    // The first record flushed itself; the second waits for the next tick.
    QCOMPARE(LogText(dlg), QStringLiteral("0      5ms      123 - 01 A0\n"));
    WaitTick(dlg);
    bus_->Deliver({Std(0x7FF, {}, 1010)});
    QTRY_COMPARE(dlg.m_nRxCount, std::uint64_t{3});
    QCOMPARE(LogText(dlg), QStringLiteral("0      5ms      123 - 01 A0\n"
                                          "1   1000ms 00115599 - 00 22 99 00 00 11 33 33\n"
                                          "2      5ms      7FF -\n"));
    QCOMPARE(dlg.m_nLineNo, std::uint64_t{3});
  }

  void pause_fetches_nothing_and_clear_keeps_the_pause_and_the_pending_lines() {
    CZelk_testDlg dlg;
    Open(dlg);
    NotifyCounter counter;
    dlg.installEventFilter(&counter);
    WaitTick(dlg);
    bus_->Deliver({Std(0x100, {1}, 10), Std(0x101, {2}, 20)});
    QTRY_COMPARE(dlg.m_nRxCount, std::uint64_t{2});
    Click(dlg, app::IDC_SEND);
    const int before = counter.count;

    Click(dlg, app::IDC_PAUSE);
    QVERIFY(dlg.m_bPaused);
    QCOMPARE(Item<QPushButton>(dlg, app::IDC_PAUSE)->text(), QStringLiteral("Run"));
    bus_->Deliver({Std(0x200, {3}, 30)});
    QTRY_COMPARE(counter.count, before + 1);
    QCOMPARE(dlg.m_nRxCount, std::uint64_t{2});  // the paused notification is not fetched
    WaitTick(dlg);                               // the tick goes on while paused

    Click(dlg, app::IDC_CLEAR);
    QCOMPARE(dlg.m_nRxCount, std::uint64_t{0});
    QCOMPARE(dlg.m_nTxCount, std::uint64_t{0});
    QCOMPARE(LogText(dlg), QString());
    QCOMPARE(LabelText(dlg, app::IDC_RX_COUNT), QStringLiteral("RX:0"));
    QCOMPARE(LabelText(dlg, app::IDC_TX_COUNT), QStringLiteral("TX:0"));
    QVERIFY(dlg.m_bPaused);
    QCOMPARE(frame::PendingText(), std::string("1     10ms      101 - 02\r\n"));

    Click(dlg, app::IDC_PAUSE);
    QCOMPARE(Item<QPushButton>(dlg, app::IDC_PAUSE)->text(), QStringLiteral("Pause"));
    WaitTick(dlg);
    bus_->Deliver({Std(0x102, {4}, 40)});
    QTRY_COMPARE(dlg.m_nRxCount, std::uint64_t{1});
    // The pending line keeps its old number; numbering restarts after Clear.
    QCOMPARE(LogText(dlg), QStringLiteral("1     10ms      101 - 02\n0     20ms      102 - 04\n"));
  }

  void the_filter_box_filters_future_records_only() {
    CZelk_testDlg dlg;
    Open(dlg);
    WaitTick(dlg);
    bus_->Deliver({Std(0x456, {}, 1)});
    QTRY_COMPARE(dlg.m_nRxCount, std::uint64_t{1});

    auto* filter = Item<QLineEdit>(dlg, app::IDC_FILTER_ID);
    filter->setFocus();
    QTest::keyClicks(filter, QStringLiteral("12345"));
    QCOMPARE(filter->text(), QStringLiteral("1234"));  // typing stops at four characters
    QCOMPARE(dlg.m_strFilterId, std::string("1234"));
    QTest::keyClick(filter, Qt::Key_Backspace);
    QCOMPARE(dlg.m_strFilterId, std::string("123"));
    QCOMPARE(dlg.m_nFilterId, 0x123u);

    WaitTick(dlg);
    bus_->Deliver({Std(0x456, {}, 2), Std(0x123, {0xAB}, 7)});
    QTRY_COMPARE(dlg.m_nRxCount, std::uint64_t{3});
    QCOMPARE(LogText(dlg), QStringLiteral("0      1ms      456 -\n1      6ms      123 - AB\n"));
    QVERIFY(messages_.isEmpty());
  }

  void send_posts_the_encoded_line_and_counts_it_past_32_bits() {
    CZelk_testDlg dlg;
    Open(dlg);
    const std::size_t mark = bus_->Posted().size();
    Click(dlg, app::IDC_SEND);
    QCOMPARE(LabelText(dlg, app::IDC_TX_COUNT), QStringLiteral("TX:1"));
    ReplaceText(Item<QLineEdit>(dlg, app::IDC_SEND_DATA), QStringLiteral("7FF 01 02"));
    dlg.m_nTxCount = 0xFFFFFFFFull;
    Click(dlg, app::IDC_SEND);
    QCOMPARE(LabelText(dlg, app::IDC_TX_COUNT), QStringLiteral("TX:4294967296"));
    QTRY_COMPARE(bus_->Posted().size(), mark + 2);
    const auto posted = bus_->Posted();
    QCOMPARE(posted[mark].code, bus::kMonitorPostCode);
    QCOMPARE(posted[mark].bytes, Bytes(app::kDefaultSendLine));
    QCOMPARE(posted[mark + 1].bytes, Bytes("7FF 01 02"));
  }

  void enter_presses_the_focused_push_button_and_keeps_the_dialog_open_data() {
    QTest::addColumn<int>("button");
    QTest::newRow("Send") << app::IDC_SEND;
    QTest::newRow("Pause") << app::IDC_PAUSE;
    QTest::newRow("Clear") << app::IDC_CLEAR;
  }
  void enter_presses_the_focused_push_button_and_keeps_the_dialog_open() {
    QFETCH(int, button);
    CZelk_testDlg dlg;
    Open(dlg);
    dlg.m_nTxCount = 5;
    auto* pushed = Item<QPushButton>(dlg, button);
    QSignalSpy clicked(pushed, &QPushButton::clicked);
    pushed->setFocus();
    QTest::keyClick(pushed, Qt::Key_Return);
    QCOMPARE(clicked.count(), 1);
    QVERIFY(dlg.isVisible());
    const std::uint64_t expected_tx = button == app::IDC_SEND    ? 6
                                      : button == app::IDC_CLEAR ? 0
                                                                 : 5;
    QCOMPARE(dlg.m_nTxCount, expected_tx);
    QCOMPARE(dlg.m_bPaused, button == app::IDC_PAUSE);
  }

  void enter_elsewhere_ends_the_dialog_after_a_good_exchange_data() {
    QTest::addColumn<int>("focus");
    QTest::addColumn<QString>("interval");
    QTest::addColumn<bool>("ends");
    QTest::newRow("send box") << app::IDC_SEND_DATA << "200" << true;
    QTest::newRow("log") << app::IDC_LOG << "200" << true;
    QTest::newRow("Timer box") << app::IDC_TIMER << "200" << true;
    QTest::newRow("invalid interval") << app::IDC_SEND_DATA << "" << false;
  }
  void enter_elsewhere_ends_the_dialog_after_a_good_exchange() {
    QFETCH(int, focus);
    QFETCH(QString, interval);
    QFETCH(bool, ends);
    CZelk_testDlg dlg;
    Open(dlg);
    ReplaceText(Item<QLineEdit>(dlg, app::IDC_INTERVAL), interval);
    ReplaceText(Item<QLineEdit>(dlg, app::IDC_SEND_DATA), QStringLiteral("123 45"));
    QWidget* target = dlg.GetDlgItem(focus);
    target->setFocus();
    QTest::keyClick(target, Qt::Key_Return);
    QCOMPARE(dlg.m_strSendData, std::string("123 45"));  // OK exchanged the data
    if (!ends) {
      QVERIFY(dlg.isVisible());
      QCOMPARE(messages_, QStringList{QStringLiteral("Please enter an unsigned integer.")});
      QCOMPARE(dlg.focusWidget(), dlg.GetDlgItem(app::IDC_INTERVAL));  // the failing box
      return;
    }
    QVERIFY(!dlg.isVisible());
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(dlg.m_nInterval, 200u);
    QVERIFY(!dlg.IsTimerRunning(app::kFlushTimerId));
    QTRY_COMPARE(bus_->Clients(), std::uint64_t{0});
    QVERIFY(!bus::IsBound());
  }

  void escape_and_the_close_box_end_without_an_exchange_data() {
    QTest::addColumn<bool>("escape");
    QTest::newRow("Esc") << true;
    QTest::newRow("close box") << false;
  }
  void escape_and_the_close_box_end_without_an_exchange() {
    QFETCH(bool, escape);
    CZelk_testDlg dlg;
    Open(dlg);
    auto* interval = Item<QLineEdit>(dlg, app::IDC_INTERVAL);
    ReplaceText(interval, QString());  // an exchange would fail; none runs
    ReplaceText(Item<QLineEdit>(dlg, app::IDC_SEND_DATA), QStringLiteral("1 2"));
    if (escape) {
      QTest::keyClick(interval, Qt::Key_Escape);
    } else {
      dlg.close();
    }
    QVERIFY(!dlg.isVisible());
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
    QCOMPARE(dlg.m_strSendData, std::string(app::kDefaultSendLine));
    QVERIFY(messages_.isEmpty());
    QTRY_COMPARE(bus_->Clients(), std::uint64_t{0});
  }

  void the_timer_box_repeats_sends_and_locks_the_interval() {
    CZelk_testDlg dlg;
    Open(dlg);
    auto* interval = Item<QLineEdit>(dlg, app::IDC_INTERVAL);
    ReplaceText(interval, QStringLiteral("20"));
    Click(dlg, app::IDC_TIMER);
    QVERIFY(dlg.m_bTimerOn);
    QCOMPARE(dlg.m_nInterval, 20u);
    QVERIFY(dlg.IsTimerRunning(app::kSendTimerId));
    QVERIFY(!interval->isEnabled());
    QTRY_VERIFY(dlg.m_nTxCount >= 3);
    // Each tick re-reads the send box.
    ReplaceText(Item<QLineEdit>(dlg, app::IDC_SEND_DATA), QStringLiteral("321"));
    const std::size_t mark = bus_->Posted().size();
    QTRY_VERIFY(bus_->Posted().size() > mark + 1);
    QCOMPARE(bus_->Posted().back().bytes, Bytes("321"));

    Click(dlg, app::IDC_TIMER);
    QVERIFY(!dlg.m_bTimerOn);
    QVERIFY(!dlg.IsTimerRunning(app::kSendTimerId));
    QVERIFY(interval->isEnabled());
    QVERIFY(messages_.isEmpty());
  }

  void the_timer_box_rules_for_the_interval_data() {
    QTest::addColumn<QString>("box");
    QTest::addColumn<bool>("exchangedBefore");  // a good exchange (Send) came first
    QTest::addColumn<bool>("checked");
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("messages");
    QTest::addColumn<QString>("boxAfter");
    QTest::newRow("largest") << "4294967295" << false << true << true << 0 << "4294967295";
    QTest::newRow("zero is refused") << "0" << false << false << false << 0 << "0";
    // The failed exchange leaves the interval at 0 from start-up: the check is cleared and
    // the load exchange writes that 0 into the box.
    QTest::newRow("empty, no good exchange yet") << "" << false << false << false << 1 << "0";
    // The interval keeps 200 from the earlier exchange: the box stays checked, no timer runs.
    QTest::newRow("empty after a good exchange") << "" << true << true << false << 1 << "";
  }
  void the_timer_box_rules_for_the_interval() {
    QFETCH(QString, box);
    QFETCH(bool, exchangedBefore);
    QFETCH(bool, checked);
    QFETCH(bool, running);
    QFETCH(int, messages);
    QFETCH(QString, boxAfter);
    CZelk_testDlg dlg;
    Open(dlg);
    if (exchangedBefore) Click(dlg, app::IDC_SEND);
    auto* interval = Item<QLineEdit>(dlg, app::IDC_INTERVAL);
    ReplaceText(interval, box);
    Click(dlg, app::IDC_TIMER);
    QCOMPARE(Item<QCheckBox>(dlg, app::IDC_TIMER)->isChecked(), checked);
    QCOMPARE(dlg.IsTimerRunning(app::kSendTimerId), running);
    QCOMPARE(dlg.m_bTimerOn, running);
    QCOMPARE(messages_.size(), messages);
    QCOMPARE(interval->text(), boxAfter);
    QCOMPARE(interval->isEnabled(), !running);
  }

  void an_invalid_interval_lets_send_and_filter_take_their_texts_while_the_bus_goes_on() {
    CZelk_testDlg dlg;
    Open(dlg);
    bool shown_during_box = false;
    bool ticked_during_box = false;
    dlg.SetNotifier([&](const QString& text) {
      messages_.append(text);
      if (messages_.size() > 1) return;
      // Stand-in for the message box's nested event loop: notifications and ticks go on.
      dlg.m_bFlushDue = false;
      bus_->Deliver({Std(0x321, {9}, 1)});
      shown_during_box = QTest::qWaitFor([&] { return dlg.m_nRxCount == 1; }, 5000);
      ticked_during_box = QTest::qWaitFor([&] { return dlg.m_bFlushDue; }, 5000);
    });
    ReplaceText(Item<QLineEdit>(dlg, app::IDC_INTERVAL), QString());
    ReplaceText(Item<QLineEdit>(dlg, app::IDC_SEND_DATA), QStringLiteral("55 66"));
    const std::size_t mark = bus_->Posted().size();
    Click(dlg, app::IDC_SEND);
    QVERIFY(shown_during_box);
    QVERIFY(ticked_during_box);
    QCOMPARE(dlg.m_nTxCount, std::uint64_t{1});  // the send went on after the box
    QTRY_COMPARE(bus_->Posted().size(), mark + 1);
    QCOMPARE(bus_->Posted().back().bytes, Bytes("55 66"));

    // Every filter keystroke brings the message, and the filter follows the box.
    QTest::keyClicks(Item<QLineEdit>(dlg, app::IDC_FILTER_ID), QStringLiteral("7F"));
    QCOMPARE(messages_.size(), 3);
    QCOMPARE(dlg.m_strFilterId, std::string("7F"));
    QCOMPARE(dlg.m_nFilterId, 0x7Fu);
  }

  void a_missing_bus_library_is_reported_in_a_box_and_the_window_stays_usable() {
    CZelk_testDlg dlg;  // with the real message box, closed from a timer
    dlg.SetBusLoader([] { return bus::LoadBusFrom("/nonexistent/libpelmo.so"); });
    QString title, text;
    QMessageBox::StandardButtons buttons;
    QTimer closer;
    closer.setInterval(10);
    QObject::connect(&closer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      title = box->windowTitle();
      text = box->text();
      buttons = box->standardButtons();
      closer.stop();
      box->button(QMessageBox::Ok)->click();
    });
    closer.start();
    dlg.show();  // returns once the box is closed
    QCOMPARE(text, QString(app::kLoadErrorText));
    QCOMPARE(title, QCoreApplication::applicationName());
    QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(dlg.isVisible());
    QVERIFY(!bus::IsBound());
    Click(dlg, app::IDC_SEND);
    QCOMPARE(LabelText(dlg, app::IDC_TX_COUNT), QStringLiteral("TX:1"));
    QVERIFY(dlg.IsTimerRunning(app::kFlushTimerId));
    QCOMPARE(bus_->Clients(), std::uint64_t{0});
  }

  void end_session_releases_the_bus_only_when_ending() {
    CZelk_testDlg dlg;
    Open(dlg);
    QVERIFY(dlg.OnQueryEndSession());
    dlg.OnEndSession(false);
    QVERIFY(bus::IsBound());
    QVERIFY(dlg.IsTimerRunning(app::kFlushTimerId));
    ReplaceText(Item<QLineEdit>(dlg, app::IDC_INTERVAL), QStringLiteral("30"));
    Click(dlg, app::IDC_TIMER);
    QVERIFY(dlg.IsTimerRunning(app::kSendTimerId));

    dlg.OnEndSession(true);
    QVERIFY(!dlg.IsTimerRunning(app::kFlushTimerId));
    QVERIFY(!dlg.IsTimerRunning(app::kSendTimerId));
    QVERIFY(!bus::IsBound());
    QTRY_COMPARE(bus_->Clients(), std::uint64_t{0});
    dlg.close();  // the second release that follows is harmless
    QVERIFY(!bus::IsBound());
  }

  void a_saturated_flush_keeps_the_widget_equal_to_the_text_model() {
    CZelk_testDlg dlg;
    Open(dlg);
    // Past 1000 lines each flush cuts from the top as much as it appends.
    std::vector<frame::FrameRecord> block;
    for (std::uint16_t i = 0; i < 3000; ++i) block.push_back(Ext(0x1000 + i, {1, 2, 3}, i));
    for (int round = 0; round < 3; ++round) {
      WaitTick(dlg);
      for (std::size_t at = 0; at < block.size(); at += 1000) {
        bus_->Deliver(
            {block.begin() + static_cast<long>(at), block.begin() + static_cast<long>(at + 1000)});
      }
      QTRY_COMPARE(dlg.m_nRxCount, std::uint64_t{3000} * static_cast<std::uint64_t>(round + 1));
    }
    const std::string& text = dlg.m_editLog.Text();
    QVERIFY(text.size() <= static_cast<std::size_t>(frame::kLogTextLimit));
    QCOMPARE(LogText(dlg).toStdString(), app::DocumentText(text));
    auto* bar = Item<QPlainTextEdit>(dlg, app::IDC_LOG)->verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());  // the end stays in view
  }
};

QTEST_MAIN(MonitorDialogTest)
#include "monitor_dialog_test.moc"
