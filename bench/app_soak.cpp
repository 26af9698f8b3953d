// Soak run of the monitor window: zelk_tran --generate RATE (default 21,300 frames/s, a
// saturated 1 Mbit/s bus) into a real CZelk_testDlg for SECONDS (default 60), then reports
// frames received against frames generated, the bus library's drop counters, this process's
// CPU share, its resident memory at start and end, and the longest stall of the event loop
// (the lateness of a 10 ms timer).
//
//   app_soak [SECONDS] [RATE]        (offscreen unless a display is set)
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "app/zelk_test_dlg.h"
#include "bus/bus_binding.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ResidentMiB() {
  QFile statm(QStringLiteral("/proc/self/statm"));
  if (!statm.open(QIODevice::ReadOnly)) return 0;
  const QList<QByteArray> fields = statm.readAll().split(' ');
  if (fields.size() < 2) return 0;
  return fields[1].toDouble() * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

std::uint64_t Info(std::uint32_t key) {
  std::uint64_t value = 0;
  if (bus::Binding().pmGetInfo != nullptr) bus::Binding().pmGetInfo(key, &value);
  return value;
}

// Runs the event loop (sleeping while idle) until cond holds or ms pass.
bool RunUntil(const std::function<bool()>& cond, int ms) {
  if (cond()) return true;
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (cond()) loop.quit();
  });
  poll.start(10);
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
  return cond();
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication application(argc, argv);
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  const int rate = argc > 2 ? std::atoi(argv[2]) : 21300;

  QTemporaryDir dir;
  const QString bus_path = dir.filePath(QStringLiteral("bus"));
  qputenv("PELMO_BUS", bus_path.toLocal8Bit());
  const QString tran = QCoreApplication::applicationDirPath() + QStringLiteral("/zelk_tran");
  if (!QFile::exists(tran)) {
    std::fprintf(stderr, "app_soak: %s is not built\n", qPrintable(tran));
    return 1;
  }

  CZelk_testDlg dlg;
  dlg.SetNotifier([](const QString& text) {
    std::fprintf(stderr, "app_soak: message box: %s\n", qPrintable(text));
  });
  dlg.show();
  if (!bus::IsBound()) return 1;

  // The companion starts its generator at once; frames before the window is connected are
  // not the window's, so the count starts from a settled moment.
  QProcess companion;
  companion.setProcessChannelMode(QProcess::ForwardedChannels);
  companion.start(tran, {QStringLiteral("--foreground"), QStringLiteral("--bus"), bus_path,
                         QStringLiteral("--generate"), QString::number(rate)});
  if (!companion.waitForStarted() ||
      !RunUntil([] { return Info(PM_INFO_CONNECTED) == 1; }, 10000) ||
      !RunUntil([&] { return dlg.m_nRxCount > 0; }, 10000)) {
    std::fprintf(stderr, "app_soak: no frames reached the window\n");
    return 1;
  }
  RunUntil([] { return false; }, 2000);  // warm-up: the log fills past its trim point

  // Event-loop lateness, watched by a 10 ms timer.
  QElapsedTimer since_tick;
  qint64 worst_stall_ms = 0;
  int stalls_over_20 = 0;
  int stalls_over_50 = 0;
  QTimer watch;
  watch.setTimerType(Qt::PreciseTimer);
  watch.setInterval(10);
  QObject::connect(&watch, &QTimer::timeout,
                   [&] { worst_stall_ms = std::max(worst_stall_ms, since_tick.restart() - 10); });

  const std::uint64_t rx_start = dlg.m_nRxCount;
  const std::uint64_t dropped_start = Info(PM_INFO_DROPPED_BLOCKS);
  const std::uint64_t hub_drops_start = Info(PM_INFO_HUB_DROPS);
  const double rss_start = ResidentMiB();
  const double cpu_start = CpuSeconds();
  QElapsedTimer wall;
  wall.start();
  since_tick.start();
  watch.start();
  RunUntil([] { return false; }, seconds * 1000);
  watch.stop();
  const double elapsed = static_cast<double>(wall.elapsed()) / 1000.0;
  const double cpu = CpuSeconds() - cpu_start;
  const double rss_end = ResidentMiB();
  const std::uint64_t received = dlg.m_nRxCount - rx_start;

  companion.terminate();
  companion.waitForFinished(10000);
  const double expected = elapsed * rate;
  std::printf("app_soak: %d s at %d frames/s into the monitor window\n", seconds, rate);
  std::printf("  frames received     %llu in %.1f s (%.0f/s; generator nominal %.0f, %.2f%%)\n",
              static_cast<unsigned long long>(received), elapsed,
              static_cast<double>(received) / elapsed, expected,
              100.0 * static_cast<double>(received) / expected);
  std::printf("  frames lost         library backlog drops %llu blocks, hub drops %llu blocks\n",
              static_cast<unsigned long long>(Info(PM_INFO_DROPPED_BLOCKS) - dropped_start),
              static_cast<unsigned long long>(Info(PM_INFO_HUB_DROPS) - hub_drops_start));
  std::printf("  CPU                 %.2f s = %.1f%% of one core (GUI thread + bus I/O thread)\n",
              cpu, 100.0 * cpu / elapsed);
  std::printf("  resident memory     %.1f MiB at start, %.1f MiB at end\n", rss_start, rss_end);
  std::printf(
      "  longest loop stall  %lld ms beyond the 10 ms watch period (%d over 20 ms, %d over 50 "
      "ms)\n",
      static_cast<long long>(worst_stall_ms), stalls_over_20, stalls_over_50);
  std::printf("  log                 %zu characters, %llu lines shown\n",
              dlg.m_editLog.Text().size(), static_cast<unsigned long long>(dlg.m_nLineNo));
  return 0;
}
