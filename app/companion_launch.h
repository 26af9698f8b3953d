// Starting the companion zelk_tran beside the monitor.
//
// The companion is looked for beside the monitor's executable, then in the absolute
// directories of PATH. Empty, "." and other relative PATH entries are skipped, so a program
// planted in the current directory never runs.
#pragma once

#include <QByteArray>
#include <QString>

namespace app {

inline constexpr char kCompanionName[] = "zelk_tran";

// Absolute path of the first executable `name` beside app_dir or on path_env; empty if none.
QString FindCompanion(const QString& app_dir, const QByteArray& path_env,
                      const QString& name = QString::fromLatin1(kCompanionName));

// Starts the companion detached (it outlives the monitor) without waiting for it.
// Returns whether it was started; callers ignore a failure.
bool LaunchCompanion();

}  // namespace app
