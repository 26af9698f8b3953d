// The whole chain: the companion on its virtual bus, the monitor dialog in this process, and
// zelk_send from outside. The companion echoes every frame to every client, the monitor's
// own sends included.
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "app/zelk_test_dlg.h"
#include "app_test_support.h"

namespace {

QString Program(const char* name) { return QCoreApplication::applicationDirPath() + "/" + name; }

}  // namespace

class EndToEndTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString bus_path_;
  QProcess companion_;

  bool Connected() {
    std::uint64_t connected = 0;
    const auto get_info = bus::Binding().pmGetInfo;
    return get_info != nullptr && get_info(PM_INFO_CONNECTED, &connected) == 1 && connected == 1;
  }

  void Send(const QStringList& lines) {
    QProcess send;
    send.start(Program("zelk_send"), lines);
    QVERIFY(send.waitForFinished(10000));
    QCOMPARE(send.exitCode(), 0);
  }

  void WaitTick(CZelk_testDlg& dlg) {
    dlg.m_bFlushDue = false;
    QTRY_VERIFY(dlg.m_bFlushDue);
  }

 private slots:
  void initTestCase() {
    for (const char* name : {"zelk_tran", "zelk_send"}) {
      if (!QFile::exists(Program(name))) {
        QSKIP(qPrintable(QStringLiteral("%1 is not built yet: build the tran and tools targets")
                             .arg(QString::fromLatin1(name))));
      }
    }
    bus_path_ = dir_.filePath("bus");
    qputenv("PELMO_BUS", bus_path_.toLocal8Bit());
    companion_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    companion_.start(Program("zelk_tran"), {"--foreground", "--bus", bus_path_});
    QVERIFY(companion_.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(bus_path_), 10000);
  }

  void cleanupTestCase() {
    if (companion_.state() == QProcess::Running) {
      companion_.terminate();
      companion_.waitForFinished(10000);
    }
  }

  void frames_from_zelk_send_and_from_send_reach_the_log_and_counters() {
    app_test::ResetReceiveLog();
    CZelk_testDlg dlg;
    QStringList messages;
    dlg.SetNotifier([&](const QString& text) { messages.append(text); });
    dlg.show();
    QVERIFY(messages.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(Connected(), 10000);

    WaitTick(dlg);
    Send({"123 01 A0"});
    QTRY_COMPARE_WITH_TIMEOUT(dlg.m_nRxCount, std::uint64_t{1}, 10000);
    WaitTick(dlg);
    Send({"115599 00 22 99 00 00 11 33 33"});
    QTRY_COMPARE_WITH_TIMEOUT(dlg.m_nRxCount, std::uint64_t{2}, 10000);
    WaitTick(dlg);
    QTest::mouseClick(qobject_cast<QPushButton*>(dlg.GetDlgItem(app::IDC_SEND)), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(dlg.m_nRxCount, std::uint64_t{3}, 10000);

    QTRY_COMPARE(qobject_cast<QLabel*>(dlg.GetDlgItem(app::IDC_RX_COUNT))->text(),
                 QStringLiteral("RX:3"));
    QCOMPARE(qobject_cast<QLabel*>(dlg.GetDlgItem(app::IDC_TX_COUNT))->text(),
             QStringLiteral("TX:1"));
    const QStringList lines = qobject_cast<QPlainTextEdit*>(dlg.GetDlgItem(app::IDC_LOG))
                                  ->toPlainText()
                                  .split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    const QRegularExpression expected[] = {
        QRegularExpression(R"(^0 +\d+ms      123 - 01 A0$)"),
        QRegularExpression(R"(^1 +\d+ms 00115599 - 00 22 99 00 00 11 33 33$)"),
        QRegularExpression(R"(^2 +\d+ms 00115599 - 00 22 99 00 00 11 33 33$)"),
    };
    for (int i = 0; i < 3; ++i) {
      QVERIFY2(expected[i].match(lines[i]).hasMatch(), qPrintable(lines[i]));
    }
  }
};

QTEST_MAIN(EndToEndTest)
#include "end_to_end_test.moc"
