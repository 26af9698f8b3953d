// The program as a whole: it starts the companion found beside it (never one planted in the
// current directory), registers on the bus, and SIGTERM releases the bus and ends it, even
// while a message box is open.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

#include "app_test_support.h"

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
};

QTEST_GUILESS_MAIN(AppProcessTest)
#include "app_process_test.moc"
