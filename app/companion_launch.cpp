#include "app/companion_launch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace app {
namespace {

QString ExecutableIn(const QString& dir, const QString& name) {
  if (dir.isEmpty() || !QDir::isAbsolutePath(dir)) return {};
  const QFileInfo candidate(QDir(dir).filePath(name));
  if (candidate.isFile() && candidate.isExecutable()) return candidate.absoluteFilePath();
  return {};
}

}  // namespace

QString FindCompanion(const QString& app_dir, const QByteArray& path_env, const QString& name) {
  if (name.isEmpty() || name.contains(u'/')) return {};
  if (QString beside = ExecutableIn(app_dir, name); !beside.isEmpty()) return beside;
  for (const QByteArray& entry : path_env.split(':')) {
    if (QString found = ExecutableIn(QFile::decodeName(entry), name); !found.isEmpty()) {
      return found;
    }
  }
  return {};
}

bool LaunchCompanion() {
  const QString program = FindCompanion(QCoreApplication::applicationDirPath(), qgetenv("PATH"));
  if (program.isEmpty()) return false;
  return QProcess::startDetached(program, {});
}

}  // namespace app
