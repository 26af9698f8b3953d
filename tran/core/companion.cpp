// The companion process.
//
// Threads: one. The main thread runs the event loop, which serves everything: the bus hub's
// sockets and its read hold, signals (signalfd), the settings file's watch, the socketcand
// server and client sockets, the CAN socket, the generator, the log and the timers. Frames
// posted on the bus go from the hub's read straight to the bridge, and the bridge's blocks
// straight into the hub's client queues: no queue between threads is left. The hub's read
// hold and the bridge's delivery hold end together (the bridge reads the held clients when
// its hold ends), so a steady trickle of frames costs one wake-up per hold.
// SIGTERM, SIGINT and SIGHUP are blocked and read from a signalfd: SIGTERM and SIGINT end the
// companion; SIGHUP asks it to reload (the log is opened anew at its path, for logrotate, and the
// settings file is read again) and never ends it. A saved settings file is applied by itself too
// (inotify).
#include "tran/core/companion.h"

#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "hub/hub.h"
#include "loop/event_loop.h"
#include "tran/base/report.h"
#include "tran/core/bridge.h"
#include "tran/core/bus_load.h"
#include "tran/core/serving.h"
#include "tran/core/status.h"
#include "tran/core/status_query.h"
#include "tran/socketcand/socket_owner.h"

namespace tran {

namespace {

using Clock = zelk::EventLoop::Clock;
constexpr std::chrono::seconds kHousekeepingPeriod{1};
// A saved settings file is read once the writes around the save have settled.
constexpr std::chrono::milliseconds kSettingsSettle{150};

// Reports growth of the drop counters, at most once per housekeeping period.
class DropReporter {
 public:
  void Check(const std::string& what, std::uint64_t now_value) {
    std::uint64_t& last = last_[what];
    if (now_value > last) ReportError(what + ": " + std::to_string(now_value - last));
    last = now_value;
  }
  void Reset() { last_.clear(); }  // the counters start again (a new source)

 private:
  std::map<std::string, std::uint64_t> last_;
};

// Watches the settings file's folder for the file being written, replaced or removed. A
// folder that does not exist yet is looked for again at each Arm() (each reload).
class SettingsWatch {
 public:
  SettingsWatch(zelk::EventLoop& loop, const std::string& path, std::function<void()> changed)
      : loop_(loop), changed_(std::move(changed)), path_(path) {
    Arm();
  }
  ~SettingsWatch() {
    if (timer_) loop_.CancelTimer(timer_);
    if (fd_ >= 0) {
      loop_.Unwatch(fd_);
      ::close(fd_);
    }
  }
  void Arm() {
    if (path_.empty() || fd_ >= 0) return;
    const std::filesystem::path file(path_);
    name_ = file.filename().string();
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return;
    if (inotify_add_watch(fd_, file.parent_path().c_str(),
                          IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM) <
        0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    loop_.Watch(fd_, POLLIN, [this](short) { OnEvents(); });
  }

 private:
  void OnEvents() {
    alignas(inotify_event) char buffer[4096];
    bool ours = false;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        inotify_event event;
        std::memcpy(&event, buffer + at, sizeof event);
        if (event.len > 0 && name_ == buffer + at + sizeof(inotify_event)) ours = true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
      }
    }
    if (!ours) return;
    if (timer_) loop_.CancelTimer(timer_);
    timer_ = loop_.AddTimer(Clock::now() + kSettingsSettle, [this] {
      timer_ = 0;
      changed_();
    });
  }

  zelk::EventLoop& loop_;
  std::function<void()> changed_;
  std::string path_;
  std::string name_;
  int fd_ = -1;
  std::uint64_t timer_ = 0;
};

}  // namespace

int RunCompanion(const TranSettings& settings, bool detached,
                 const std::function<void(StartStatus)>& on_started, const SettingsFile& file) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  const int signal_fd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signal_fd < 0) {
    ReportError("cannot watch signals");
    on_started(StartStatus::kFailed);
    return 1;
  }
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } signal_closer{signal_fd};

  zelk::EventLoop loop;
  // What is served now; replaced as a whole when the settings change.
  std::unique_ptr<Serving> serving;
  Serving* active = nullptr;  // the one posts go to, also while it is being taken down

  pelmo::HubOptions hub_options;
  hub_options.path = settings.bus_path;
  hub_options.read_hold = kPostReadHold;
  pelmo::Hub hub(hub_options);
  hub.SetPostObserver([&active](std::uint32_t code, std::span<const std::uint8_t> block) {
    if (active) active->GetBridge().TransmitPosted(code, block);
  });
  // The status snapshot, refreshed on a timer, and what is served.
  StatusSnapshot status;
  std::string served = DescribeServing(settings);
  const auto answer = [&](auto format) {
    return [&status, format](const std::vector<pelmo::ClientView>& clients) {
      if (status.pid == 0) return std::string("starting\n");  // before the first snapshot
      return format(status, clients, Clock::now());
    };
  };
  hub.SetHostAnswer(kStatusTextName, answer(FormatStatusText));
  hub.SetHostAnswer(kStatusJsonName, answer(FormatStatusJson));
  hub.SetHostAnswer(kServingName, [&served](const auto&) { return served; });
  // Asked to end: the loop quits after this round, which sends the answer first.
  hub.SetHostAnswer(kStopName, [&loop](const auto&) {
    ReportNotice("asked to stop");
    loop.Quit();
    return std::string("stopping\n");
  });
  std::string error;
  switch (hub.Start(loop, &error)) {
    case pelmo::HubStart::kAlreadyServed: {
      // The same settings: nothing to do. Others: say what serves, and how to switch.
      std::string theirs;
      if (AskCompanion(hub.Path(), kServingName, &theirs, nullptr) == AskResult::kAnswered &&
          theirs != served) {
        ReportError("a companion already serves " + hub.Path() + " with " + theirs +
                    "; this start asked for " + served +
                    " (run zelk_tran --restart, or send it SIGHUP after saving the settings)");
        on_started(StartStatus::kFailed);
        return 1;
      }
      ReportError("a companion already serves " + hub.Path());
      on_started(StartStatus::kAlreadyServed);
      return 0;
    }
    case pelmo::HubStart::kFailed:
      ReportError("cannot serve the bus at " + hub.Path() + ": " + error);
      on_started(StartStatus::kFailed);
      return 1;
    case pelmo::HubStart::kStarted:
      break;
  }
  serving = Serving::Start(settings, loop, hub, &error);
  if (!serving) {
    ReportError(error);
    hub.Stop();
    on_started(StartStatus::kFailed);
    return 1;
  }
  active = serving.get();

  // The status snapshot, every quarter second; the bus load moves on with it.
  StatusSnapshot fresh;
  fresh.version = kVersionText;
  fresh.pid = static_cast<long>(::getpid());
  fresh.started = Clock::now();
  fresh.bus_path = hub.Path();
  const auto describe = [&] {
    const TranSettings& now = serving->Settings();
    fresh.source = DescribeSource(now);
    fresh.log_path = serving->Log().IsOpen() ? now.log_path : std::string();
    fresh.listen.clear();
    if (serving->Server()) {
      fresh.listen = now.listen_address + ":" + std::to_string(serving->Server()->Port());
    }
  };
  describe();
  std::function<void()> refresh_status;
  refresh_status = [&] {
    Bridge& bridge = serving->GetBridge();
    CanSource& source = serving->Source();
    bridge.Load().Roll();
    const SourceCounters counters = source.Counters();
    fresh.source_status = source.Status();
    fresh.frames_last_second = bridge.Load().FramesLastSecond();
    fresh.bits_last_second = bridge.Load().BitsLastSecond();
    fresh.peak_frames = std::max(fresh.peak_frames, bridge.Load().PeakFrames());
    fresh.peak_bits = std::max(fresh.peak_bits, bridge.Load().PeakBits());
    fresh.received = bridge.FramesReceived();
    fresh.sent = bridge.FramesSent();
    fresh.held = source.TransmitBacklog();
    fresh.not_transmitted = counters.tx_dropped;
    fresh.rx_queue_drops = counters.rx_overflow;
    fresh.hub_blocks_dropped = hub.Stats().blocks_dropped;
    fresh.socketcand_frames_dropped = 0;
    fresh.socketcand_clients = 0;
    if (SocketcandServer* server = serving->Server()) {
      fresh.socketcand_frames_dropped = server->Counters().frames_dropped;
      fresh.socketcand_clients = server->ClientCount();
    }
    fresh.log_frames_not_logged = serving->Log().LinesLost();
    fresh.log_bytes = 0;
    if (!fresh.log_path.empty()) {
      std::error_code ignored;
      const auto size = std::filesystem::file_size(fresh.log_path, ignored);
      fresh.log_bytes = ignored ? 0 : size;
    }
    status = fresh;
    loop.AddTimer(Clock::now() + BusLoad::kQuarter, refresh_status);
  };
  refresh_status();

  // Reloading: the settings file read again, the command line over it. What is served is
  // replaced only when it changes; the hub and its clients stay. A file with an error changes
  // nothing. Settings that cannot be served put the old ones back.
  DropReporter drops;
  const auto reload = [&] {
    if (!file.reread) return;
    std::string why;
    std::optional<TranSettings> next = file.reread(&why);
    if (!next) {
      ReportError("settings not applied: " + why);
      return;
    }
    if (next->bus_path != settings.bus_path && !next->bus_path.empty()) {
      ReportError(
          "settings not applied: a companion cannot move to another bus while it "
          "serves one (run zelk_tran --restart)");
      return;
    }
    const std::string wanted = DescribeServing(*next);
    if (wanted == DescribeServing(serving->Settings())) return;
    const TranSettings before = serving->Settings();
    serving.reset();  // `active` still names it while it hands over what it holds
    active = nullptr;
    drops.Reset();
    serving = Serving::Start(*next, loop, hub, &why);
    std::string now_served = wanted;
    if (serving) {
      ReportNotice("settings applied: now " + wanted);
    } else {
      ReportError("settings not applied: " + why + "; serving as before");
      serving = Serving::Start(before, loop, hub, &why);
      now_served = DescribeServing(before);
      if (!serving) {
        ReportError("cannot serve as before either: " + why + "; exiting");
        loop.Quit();
        return;
      }
    }
    active = serving.get();
    describe();
    served = now_served;
  };
  SettingsWatch watch(loop, file.path, reload);

  // SIGHUP: the log is opened anew at its path (it goes on in the renamed file until the new
  // one is open, so no frame is lost; when the path cannot be opened, it goes on there until a
  // later SIGHUP), then the settings are read again.
  const auto on_hangup = [&] {
    std::string reopen_error;
    if (serving->Log().IsOpen() && !serving->Log().Reopen(&reopen_error)) {
      ReportError(reopen_error + "; logging goes on in the file open before");
    }
    reload();
    watch.Arm();  // the settings folder may have been made since
  };
  loop.Watch(signal_fd, POLLIN, [&loop, signal_fd, &on_hangup](short) {
    signalfd_siginfo info;
    while (::read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (info.ssi_signo == SIGHUP) {
        on_hangup();
      } else {
        loop.Quit();
      }
    }
  });

  // Housekeeping: drop reports and the idle exit.
  const unsigned idle_limit =
      settings.idle_exit_seconds.value_or(detached ? kDefaultIdleExitSeconds : 0);
  Clock::time_point last_active = Clock::now();
  std::function<void()> housekeeping;
  housekeeping = [&] {
    const pelmo::HubStats stats = hub.Stats();
    const SourceCounters counters = serving->Source().Counters();
    SocketcandServer* server = serving->Server();
    drops.Check("blocks dropped for slow bus clients", stats.blocks_dropped);
    drops.Check("frames lost in the CAN receive queue", counters.rx_overflow);
    drops.Check("frames not transmitted", counters.tx_dropped);
    drops.Check("remote frames ignored", counters.rx_remote);
    drops.Check("error frames for a missing acknowledgement", counters.errors.no_ack);
    drops.Check("error frames for bus errors", counters.errors.bus_error);
    drops.Check("error frames for controller problems", counters.errors.controller);
    drops.Check("error frames for lost arbitration", counters.errors.lost_arbitration);
    drops.Check("error frames for transceiver problems", counters.errors.transceiver);
    drops.Check("CAN FD frames ignored", counters.rx_fd);
    drops.Check("malformed input from the CAN side ignored", counters.rx_malformed);
    if (server) {
      drops.Check("frames dropped for slow socketcand clients", server->Counters().frames_dropped);
      drops.Check("socketcand connections refused", server->Counters().clients_refused);
    }
    const auto now = Clock::now();
    if (stats.clients > 0 || (server && server->ClientCount() > 0)) last_active = now;
    if (idle_limit > 0 && now - last_active >= std::chrono::seconds(idle_limit)) {
      ReportNotice("no clients for " + std::to_string(idle_limit) + " s; exiting");
      loop.Quit();
      return;
    }
    const auto period = idle_limit > 0 && idle_limit < 2
                            ? std::chrono::milliseconds(250)
                            : std::chrono::milliseconds(kHousekeepingPeriod);
    loop.AddTimer(now + period, housekeeping);
  };
  loop.AddTimer(Clock::now() + std::chrono::milliseconds(250), housekeeping);

  if (!detached) {
    ReportNotice("serving " + hub.Path() + " (source " + DescribeSource(settings) + ")");
    if (serving->Server()) {
      ReportNotice("socketcand server on " + settings.listen_address + ":" +
                   std::to_string(serving->Server()->Port()));
    }
  }
  if (serving->Server()) {
    const std::string where =
        settings.listen_address + ":" + std::to_string(serving->Server()->Port());
    if (!IsLoopbackAddress(settings.listen_address)) {
      ReportWarning("socketcand server on " + where +
                    " has no authentication: anyone who can reach it reads and sends frames");
    } else if (settings.listen_any_user) {
      ReportWarning("socketcand server on " + where + " serves every local user");
    }
  }
  on_started(StartStatus::kReady);
  loop.Run();

  // What the bridge holds goes to the hub, which sends what it has queued, then stops.
  serving->GetBridge().Flush();
  hub.Stop();
  serving.reset();
  return 0;
}

}  // namespace tran
