// Where the companion is looked for: beside the program, then absolute PATH entries; never
// the current directory or any other relative entry.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "app/companion_launch.h"

namespace {

void MakeProgram(const QString& path, bool executable = true) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write("#!/bin/sh\nexit 0\n");
  file.close();
  QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner;
  if (executable) permissions |= QFile::ExeOwner;
  QVERIFY(file.setPermissions(permissions));
}

}  // namespace

class CompanionLaunchTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir root_;
  QString Dir(const QString& name) const { return root_.filePath(name); }

 private slots:
  void initTestCase() {
    QVERIFY(root_.isValid());
    for (const char* dir : {"app", "empty_app", "path1", "path2", "cwd", "plain"}) {
      QVERIFY(QDir(root_.path()).mkpath(dir));
    }
    MakeProgram(Dir("app/zelk_tran"));
    MakeProgram(Dir("path2/zelk_tran"));
    MakeProgram(Dir("cwd/zelk_tran"));
    MakeProgram(Dir("plain/zelk_tran"), false);
    QVERIFY(QDir("/").mkpath(Dir("path1/zelk_tran")));  // a directory, not a program
  }

  void the_search_order_and_the_skipped_entries_data() {
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char* name, const char* app_dir, const char* path,
                        const char* expected) {
      QTest::newRow(name) << QString(app_dir) << QString(path) << QString(expected);
    };
    row("beside the program first", "app", "@path2", "app/zelk_tran");
    row("then PATH in order, programs only", "empty_app", "@path1:@path2", "path2/zelk_tran");
    row("empty and dot entries are skipped", "empty_app", "::.:@path2", "path2/zelk_tran");
    row("relative entries are skipped", "empty_app", "../cwd:cwd:.", "");
    row("not executable", "plain", "@plain", "");
    row("nothing anywhere", "empty_app", "@path1", "");
  }
  void the_search_order_and_the_skipped_entries() {
    QFETCH(QString, appDir);
    QFETCH(QString, path);
    QFETCH(QString, expected);
    path.replace(u'@', root_.path() + u'/');
    // Run from the directory holding a planted zelk_tran: it must never be found.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(Dir("cwd")));
    const QString found = app::FindCompanion(Dir(appDir), path.toLocal8Bit());
    QDir::setCurrent(previous);
    QCOMPARE(found, expected.isEmpty() ? QString() : Dir(expected));
  }
};

QTEST_MAIN(CompanionLaunchTest)
#include "companion_launch_test.moc"
