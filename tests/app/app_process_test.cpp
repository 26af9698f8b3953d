// The program as a whole: it starts the companion found beside it (never one planted in the
// current directory), registers on the bus, and SIGTERM releases the bus and ends it, even
// while a message box is open, and whatever state its bus connection is in.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <memory>

#include "app_test_support.h"
#include "tests/hub/other_user.h"

namespace {

QString BuiltProgram() { return QCoreApplication::applicationDirPath() + "/zelk_test"; }

void WriteScript(const QString& path, const QByteArray& body) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write("#!/bin/sh\n" + body + "\n");
  file.close();
  QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

// Starts a copy of the program on the offscreen platform with these environment entries.
void Start(QProcess& process, const QString& program, const QStringList& env_entries) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  for (const QString& entry : env_entries) {
    env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
  }
  process.setProcessEnvironment(env);
  process.start(program, {});
  QVERIFY(process.waitForStarted());
}

void Terminate(QProcess& process) {
  QVERIFY(process.state() == QProcess::Running);
  ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
  QVERIFY(process.waitForFinished(10000));
  QCOMPARE(process.exitStatus(), QProcess::NormalExit);
  QCOMPARE(process.exitCode(), 0);
}

// The connections a hub at `path` has accepted: the kernel lists an accepted socket under its
// listener's path, in state 03 (connected).
int ConnectionsTo(const QString& path) {
  QFile table(QStringLiteral("/proc/net/unix"));
  if (!table.open(QIODevice::ReadOnly)) return -1;
  int count = 0;
  for (const QByteArray& line : table.readAll().split('\n')) {
    const QList<QByteArray> fields = line.simplified().split(' ');
    if (fields.size() == 8 && fields[5] == "03" && fields[7] == path.toLocal8Bit()) ++count;
  }
  return count;
}

// A companion serving `bus` in the foreground with generated traffic.
void StartCompanion(QProcess& companion, const QString& bus) {
  companion.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  companion.start(QCoreApplication::applicationDirPath() + "/zelk_tran",
                  {"--foreground", "--generate", "20000", "--bus", bus});
  QVERIFY(companion.waitForStarted());
}

}  // namespace

class AppProcessTest : public QObject {
  Q_OBJECT

 private slots:
  void starts_the_companion_beside_it_and_sigterm_ends_it_without_a_bus_library() {
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath("bin"));
    QVERIFY(QDir(root.path()).mkpath("cwd"));
    // A copy without the bus library beside it: "load dll error!" stays open.
    const QString program = root.filePath("bin/zelk_test");
    QVERIFY(QFile::copy(BuiltProgram(), program));
    const QByteArray markers = root.path().toLocal8Bit();
    WriteScript(root.filePath("bin/zelk_tran"), "touch '" + markers + "/beside'");
    WriteScript(root.filePath("cwd/zelk_tran"), "touch '" + markers + "/planted'");

    QProcess process;
    process.setWorkingDirectory(root.filePath("cwd"));
    Start(process, program,
          {"PATH=.:" + qEnvironmentVariable("PATH"), "PELMO_BUS=" + root.filePath("bus")});
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(root.filePath("beside")), 10000);
    QVERIFY(!QFile::exists(root.filePath("planted")));
    Terminate(process);
    QVERIFY(!QFile::exists(root.filePath("planted")));
  }

  void registers_on_the_bus_and_sigterm_releases_it() {
    app_test::TestBus bus;
    QVERIFY(bus.Started());
    // A copy with the bus library beside it and a stand-in companion, so that no real
    // companion starts from this test.
    QTemporaryDir root;
    const QString program = root.filePath("zelk_test");
    QVERIFY(QFile::copy(BuiltProgram(), program));
    QVERIFY(QFile::link(QCoreApplication::applicationDirPath() + "/libpelmo.so",
                        root.filePath("libpelmo.so")));
    WriteScript(root.filePath("zelk_tran"), "exit 0");

    QProcess process;
    Start(process, program, {"PELMO_BUS=" + QString::fromStdString(bus.Path())});
    QTRY_COMPARE_WITH_TIMEOUT(bus.Clients(), std::uint64_t{1}, 10000);
    Terminate(process);
    QTRY_COMPARE(bus.Clients(), std::uint64_t{0});
  }
  // SIGTERM ends the window at once wherever its connection stands: never reached a hub; on
  // the bus under traffic; its companion killed under traffic; back on the bus with a new
  // companion after that; kept off a bus end of another user that it does not trust.
  void sigterm_ends_it_promptly_in_every_connection_state_data() {
    QTest::addColumn<QString>("state");
    for (const char* state : {"never connected", "connected", "companion killed",
                              "reconnected to a new companion", "other user's hub"}) {
      QTest::newRow(state) << QString::fromLatin1(state);
    }
  }
  void sigterm_ends_it_promptly_in_every_connection_state() {
    QFETCH(QString, state);
    if (!QFile::exists(QCoreApplication::applicationDirPath() + "/zelk_tran")) {
      QSKIP("zelk_tran is not built yet: build the tran target");
    }
    QTemporaryDir root;
    const QString program = root.filePath("zelk_test");
    QVERIFY(QFile::copy(BuiltProgram(), program));
    QVERIFY(QFile::link(QCoreApplication::applicationDirPath() + "/libpelmo.so",
                        root.filePath("libpelmo.so")));
    // The stand-in companion marks that the window has set up its SIGTERM handling; the
    // handler runs in the dialog's loop, so after the window has registered on the bus.
    WriteScript(root.filePath("zelk_tran"),
                "touch '" + root.filePath("launched").toLocal8Bit() + "'");
    QString bus = root.filePath("bus");
    std::unique_ptr<pelmo::testing::ForgingHub> forger;
    if (state == "other user's hub") {
      if (const std::string why = pelmo::testing::OtherUserUnavailable(); !why.empty()) {
        QSKIP(why.c_str());
      }
      bus = QString::fromStdString(pelmo::testing::OtherUsersBusDir(root.path().toStdString()));
      QVERIFY(!bus.isEmpty());
      forger = std::make_unique<pelmo::testing::ForgingHub>(bus.toStdString());
      QVERIFY(forger->ok());
    }
    QProcess companion;
    const bool served = state != "never connected" && state != "other user's hub";
    if (served) {
      StartCompanion(companion, bus);
      QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(bus), 10000);
    }

    QProcess window;
    Start(window, program, {"PELMO_BUS=" + bus});
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(root.filePath("launched")), 10000);
    if (served) QTRY_COMPARE_WITH_TIMEOUT(ConnectionsTo(bus), 1, 10000);
    if (state == "companion killed" || state == "reconnected to a new companion") {
      companion.kill();
      QVERIFY(companion.waitForFinished(10000));
      QCOMPARE(ConnectionsTo(bus), 0);
    }
    if (state == "reconnected to a new companion") {
      StartCompanion(companion, bus);
      QTRY_COMPARE_WITH_TIMEOUT(ConnectionsTo(bus), 1, 10000);
    }
    Terminate(window);
    if (companion.state() == QProcess::Running) {
      companion.terminate();
      QVERIFY(companion.waitForFinished(10000));
    }
  }
};

QTEST_GUILESS_MAIN(AppProcessTest)
#include "app_process_test.moc"
