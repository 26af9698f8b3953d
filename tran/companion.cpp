// The companion process.
//
// Threads:
//   - the main thread runs the event loop: signals (signalfd), the socketcand server and
//     client sockets, the CAN socket, the generator, the log and the periodic timers; the
//     bridge, the source, the server and the log are owned by it and touched only there;
//   - the hub's thread (started by pelmo::Hub::Start) owns the bus sockets; its post observer
//     only pushes into the PostQueue, which wakes the main thread, and pauses the posting
//     clients when that queue is long.
// Flow: frames for CAN that the source cannot send yet are held by it; while the bridge says
// it is congested, the hub stops reading posting clients and the socketcand server stops
// reading its sending clients, and the generator skips the frames that fall due.
// SIGTERM, SIGINT and SIGHUP are blocked in every thread before the hub starts, and read
// from a signalfd by the main thread: SIGTERM and SIGINT end the companion; SIGHUP asks it to
// reload (the log is opened anew at its path, for logrotate) and never ends it.
#include "tran/companion.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <vector>

#include "hub/hub.h"
#include "tran/bus_load.h"
#include "tran/status.h"
#include "tran/status_query.h"
#include "tran/bridge.h"
#include "tran/can_source.h"
#include "tran/candump_log.h"
#include "tran/event_loop.h"
#include "tran/frame_generator.h"
#include "tran/report.h"
#include "tran/socket_owner.h"
#include "tran/socketcand_server.h"

namespace tran {

namespace {

using Clock = EventLoop::Clock;
constexpr std::chrono::seconds kHousekeepingPeriod{1};
constexpr std::size_t kGeneratorBatch = 4096;
constexpr std::uint64_t kGeneratorTickFrames = 256;
// A full-speed replay waits while a bus client has this many blocks queued (of the hub's 4096)
// or a socketcand client this many bytes (of the server's 1 MiB): far below the drop bounds.
constexpr std::size_t kReplayHubBacklogBlocks = 256;
constexpr std::size_t kReplayServerBacklogBytes = 256 * 1024;
// The companion's reasons to pause the hub's posting clients (pelmo::Hub::PausePosters).
constexpr std::uint32_t kPauseQueueLong = 1;   // the PostQueue is long
constexpr std::uint32_t kPauseCongested = 2;   // the CAN source holds many frames

std::unique_ptr<CanSource> MakeSource(const TranSettings& settings, ReplayOptions replay) {
  switch (settings.source) {
    case SourceKind::kReplay:
      replay.path = settings.replay_path;
      replay.loop = settings.replay_loop;
      replay.speed = settings.replay_speed;
      return MakeReplaySource(std::move(replay));
    case SourceKind::kSocketcan:
      return MakeSocketcanSource(settings.iface, settings.hardware_time);
    case SourceKind::kSocketcand: {
      SocketcandClientOptions options;
      options.host = settings.remote_host;
      options.port = settings.remote_port;
      options.channel = settings.remote_channel;
      return MakeSocketcandClientSource(std::move(options));
    }
    case SourceKind::kVirtual:
      break;
  }
  return MakeVirtualSource();
}

// Puts generated frames on the bus at the configured rate, in batches per timer tick.
class GeneratorDriver {
 public:
  GeneratorDriver(EventLoop& loop, Bridge& bridge, std::uint64_t rate)
      : loop_(loop),
        bridge_(bridge),
        pacer_(rate, Clock::now()),
        tick_(std::clamp<Clock::duration>(
            std::chrono::nanoseconds(kGeneratorTickFrames * 1'000'000'000ULL / rate),
            std::chrono::milliseconds(1), std::chrono::milliseconds(10))) {
    Arm();
  }
  ~GeneratorDriver() { loop_.CancelTimer(timer_); }

 private:
  void Tick() {
    std::uint64_t due = pacer_.TakeDue(Clock::now());
    // A generator is a source of load, not a sender whose frames were accepted: while CAN
    // cannot take more, the frames due are not generated.
    if (bridge_.Congested()) due = 0;
    while (due > 0) {
      const std::size_t count =
          static_cast<std::size_t>(std::min<std::uint64_t>(due, kGeneratorBatch));
      batch_.resize(count);
      for (auto& record : batch_) record = generator_.Next();
      bridge_.Transmit(batch_);
      due -= count;
    }
    Arm();
  }
  void Arm() {
    // Frames go out in batches of about kGeneratorTickFrames, one tick per 1..10 ms: fewer
    // wake-ups and blocks per frame for the companion and for every client.
    const auto next = std::max(pacer_.NextDue(), Clock::now() + tick_);
    timer_ = loop_.AddTimer(next, [this] { Tick(); });
  }

  EventLoop& loop_;
  Bridge& bridge_;
  FrameGenerator generator_;
  GeneratorPacer pacer_;
  std::vector<frame::FrameRecord> batch_;
  Clock::duration tick_;
  std::uint64_t timer_ = 0;
};

// Reports growth of the drop counters, at most once per housekeeping period.
class DropReporter {
 public:
  void Check(const std::string& what, std::uint64_t now_value) {
    std::uint64_t& last = last_[what];
    if (now_value > last) ReportError(what + ": " + std::to_string(now_value - last));
    last = now_value;
  }

 private:
  std::map<std::string, std::uint64_t> last_;
};

}  // namespace

int RunCompanion(const TranSettings& settings, bool detached,
                 const std::function<void(StartStatus)>& on_started) {
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

  EventLoop loop;
  // A replay starts once someone sees it, and at speed 0 keeps within what its readers take;
  // both questions are answered by the hub, the log and the server, set up below.
  std::function<bool()> consumers_present;
  std::function<bool()> consumers_full;
  ReplayOptions replay;
  replay.ready = [&consumers_present] { return consumers_present(); };
  replay.consumers_full = [&consumers_full] { return consumers_full(); };
  std::unique_ptr<CanSource> source = MakeSource(settings, std::move(replay));
  std::unique_ptr<Bridge> bridge;
  pelmo::Hub* hub_for_posts = nullptr;
  PostQueue posted(loop, [&bridge, &hub_for_posts](std::span<const frame::FrameRecord> records) {
    bridge->Transmit(records);
    hub_for_posts->ResumePosters(kPauseQueueLong);  // the queue is empty again
  });

  pelmo::HubOptions hub_options;
  hub_options.path = settings.bus_path;
  hub_options.read_hold = kPostReadHold;
  pelmo::Hub hub(hub_options);
  hub_for_posts = &hub;
  hub.SetPostObserver([&posted, &hub](std::uint32_t code, std::span<const std::uint8_t> block) {
    if (posted.Push(code, block)) hub.PausePosters(kPauseQueueLong);
  });
  // The status: refreshed on this thread, read on the hub's when a client asks.
  std::mutex status_mutex;
  StatusSnapshot status;  // guarded by status_mutex
  const auto answer = [&](auto format) {
    return [&status_mutex, &status, format](const std::vector<pelmo::ClientView>& clients) {
      std::lock_guard lock(status_mutex);
      if (status.pid == 0) return std::string("starting\n");  // before the first snapshot
      return format(status, clients, Clock::now());
    };
  };
  hub.SetHostAnswer(kStatusTextName, answer(FormatStatusText));
  hub.SetHostAnswer(kStatusJsonName, answer(FormatStatusJson));
  const std::string serving = DescribeServing(settings);
  hub.SetHostAnswer(kServingName, [serving](const auto&) { return serving; });
  // Asked to end: the loop quits once it gets to it; the answer goes out first.
  hub.SetHostAnswer(kStopName, [&loop](const auto&) {
    loop.Post([&loop] {
      ReportNotice("asked to stop");
      loop.Quit();
    });
    return std::string("stopping\n");
  });
  std::string error;
  switch (hub.Start(&error)) {
    case pelmo::HubStart::kAlreadyServed: {
      // The same settings: nothing to do. Others: say what serves, and how to switch.
      std::string theirs;
      if (AskCompanion(hub.Path(), kServingName, &theirs, nullptr) == AskResult::kAnswered &&
          theirs != serving) {
        ReportError("a companion already serves " + hub.Path() + " with " + theirs +
                    "; this start asked for " + serving +
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
  const auto fail = [&](const std::string& message) {
    ReportError(message);
    hub.Stop();
    on_started(StartStatus::kFailed);
    return 1;
  };

  CandumpLog log;
  if (!settings.log_path.empty() &&
      !log.Open(settings.log_path, &error, {settings.log_max_size, settings.log_keep})) {
    return fail(error);
  }

  std::unique_ptr<SocketcandServer> server;
  if (settings.listen) {
    SocketcandServerOptions options;
    options.address = settings.listen_address;
    options.port = settings.listen_port;
    options.any_user = settings.listen_any_user;
    server = std::make_unique<SocketcandServer>(
        loop, options, [&bridge](std::span<const frame::FrameRecord> records, std::uint64_t id) {
          bridge->Transmit(records, id);
        });
    if (!server->Start(&error)) return fail(error);
  }

  consumers_present = [&] {
    return log.IsOpen() || hub.Stats().clients > 0 || (server && server->ClientCount() > 0);
  };
  consumers_full = [&] {
    return hub.LargestClientBacklog() >= kReplayHubBacklogBlocks ||
           (server && server->LargestClientBacklogBytes() >= kReplayServerBacklogBytes);
  };
  bridge = std::make_unique<Bridge>(
      *source,
      [&hub](std::uint32_t code, std::span<const std::uint8_t> block) { hub.Deliver(code, block); },
      server.get(), log.IsOpen() ? &log : nullptr);
  // Frames close together share a block; posts wait for a running hold instead of waking us.
  bridge->CoalesceOn(loop, kDeliveryHold, &posted);
  bridge->OnCongestion([&hub, &server](bool congested) {
    if (congested) {
      hub.PausePosters(kPauseCongested);
    } else {
      hub.ResumePosters(kPauseCongested);
    }
    if (server) server->PauseReading(congested);
  });
  if (!source->Start(
          loop,
          [&bridge](std::span<const frame::FrameRecord> records, std::span<const FrameTime> times) {
            bridge->Received(records, times);
          },
          &error)) {
    return fail(error);
  }

  std::optional<GeneratorDriver> generator;
  if (settings.generate_rate > 0) generator.emplace(loop, *bridge, settings.generate_rate);

  // SIGHUP: what a reload does. The log goes on in the renamed file until the new one is open,
  // so no frame is lost; when the path cannot be opened, it goes on there until a later SIGHUP.
  const auto on_hangup = [&log] {
    std::string reopen_error;
    if (log.IsOpen() && !log.Reopen(&reopen_error)) {
      ReportError(reopen_error + "; logging goes on in the file open before");
    }
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

  // The status snapshot, every quarter second; the bus load moves on with it.
  StatusSnapshot fresh;
  fresh.version = kVersionText;
  fresh.pid = static_cast<long>(::getpid());
  fresh.started = Clock::now();
  fresh.bus_path = hub.Path();
  fresh.source = DescribeSource(settings);
  fresh.log_path = log.IsOpen() ? settings.log_path : std::string();
  if (server) fresh.listen = settings.listen_address + ":" + std::to_string(server->Port());
  std::function<void()> refresh_status;
  refresh_status = [&] {
    bridge->Load().Roll();
    const SourceCounters counters = source->Counters();
    fresh.source_status = source->Status();
    fresh.frames_last_second = bridge->Load().FramesLastSecond();
    fresh.bits_last_second = bridge->Load().BitsLastSecond();
    fresh.peak_frames = bridge->Load().PeakFrames();
    fresh.peak_bits = bridge->Load().PeakBits();
    fresh.received = bridge->FramesReceived();
    fresh.sent = bridge->FramesSent();
    fresh.held = source->TransmitBacklog();
    fresh.not_transmitted = counters.tx_dropped;
    fresh.rx_queue_drops = counters.rx_overflow;
    fresh.posts_dropped = posted.Dropped();
    fresh.hub_blocks_dropped = hub.Stats().blocks_dropped;
    if (server) {
      fresh.socketcand_frames_dropped = server->Counters().frames_dropped;
      fresh.socketcand_clients = server->ClientCount();
    }
    fresh.log_frames_not_logged = log.LinesLost();
    if (!fresh.log_path.empty()) {
      std::error_code ignored;
      const auto size = std::filesystem::file_size(fresh.log_path, ignored);
      fresh.log_bytes = ignored ? 0 : size;
    }
    {
      std::lock_guard lock(status_mutex);
      status = fresh;
    }
    loop.AddTimer(Clock::now() + BusLoad::kQuarter, refresh_status);
  };
  refresh_status();

  // Housekeeping: drop reports and the idle exit.
  const unsigned idle_limit =
      settings.idle_exit_seconds.value_or(detached ? kDefaultIdleExitSeconds : 0);
  Clock::time_point last_active = Clock::now();
  DropReporter drops;
  std::function<void()> housekeeping;
  housekeeping = [&] {
    const pelmo::HubStats stats = hub.Stats();
    const SourceCounters counters = source->Counters();
    drops.Check("frames posted while the bridge was busy, dropped", posted.Dropped());
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
    if (server) {
      ReportNotice("socketcand server on " + settings.listen_address + ":" +
                   std::to_string(server->Port()));
    }
  }
  if (server) {
    const std::string where = settings.listen_address + ":" + std::to_string(server->Port());
    if (!IsLoopbackAddress(settings.listen_address)) {
      ReportWarning("socketcand server on " + where +
                    " has no authentication: anyone who can reach it reads and sends frames");
    } else if (settings.listen_any_user) {
      ReportWarning("socketcand server on " + where + " serves every local user");
    }
  }
  on_started(StartStatus::kReady);
  loop.Run();

  // The hub stops first so that its thread no longer posts into the queue.
  hub.Stop();
  generator.reset();
  source->Stop();
  if (server) server->Stop();
  return 0;
}

}  // namespace tran
