#include "tran/core/serving.h"

#include <algorithm>
#include <vector>

#include "tran/can/socketcan_source.h"
#include "tran/can/virtual_source.h"
#include "tran/candump/replay_source.h"
#include "tran/core/frame_generator.h"
#include "tran/socketcand/socketcand_client_source.h"

namespace tran {

namespace {

using Clock = zelk::EventLoop::Clock;
constexpr std::size_t kGeneratorBatch = 4096;
constexpr std::uint64_t kGeneratorTickFrames = 256;
// A full-speed replay waits while a bus client has this many blocks queued (of the hub's 4096)
// or a socketcand client this many bytes (of the server's 1 MiB): far below the drop bounds.
constexpr std::size_t kReplayHubBacklogBlocks = 256;
constexpr std::size_t kReplayServerBacklogBytes = 256 * 1024;

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

}  // namespace

// Puts generated frames on the bus at the configured rate, in batches per timer tick.
class GeneratorDriver {
 public:
  GeneratorDriver(zelk::EventLoop& loop, Bridge& bridge, std::uint64_t rate)
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

  zelk::EventLoop& loop_;
  Bridge& bridge_;
  FrameGenerator generator_;
  GeneratorPacer pacer_;
  std::vector<frame::FrameRecord> batch_;
  Clock::duration tick_;
  std::uint64_t timer_ = 0;
};

Serving::Serving(const TranSettings& settings, zelk::EventLoop& loop, pelmo::Hub& hub)
    : settings_(settings), loop_(loop), hub_(hub) {}

std::unique_ptr<Serving> Serving::Start(const TranSettings& settings, zelk::EventLoop& loop,
                                        pelmo::Hub& hub, std::string* error) {
  std::unique_ptr<Serving> serving(new Serving(settings, loop, hub));
  if (!serving->Open(error)) return nullptr;
  return serving;
}

bool Serving::Open(std::string* error) {
  if (!settings_.log_path.empty() &&
      !log_.Open(settings_.log_path, error, {settings_.log_max_size, settings_.log_keep})) {
    return false;
  }
  if (settings_.listen) {
    SocketcandServerOptions options;
    options.address = settings_.listen_address;
    options.port = settings_.listen_port;
    options.any_user = settings_.listen_any_user;
    server_ = std::make_unique<SocketcandServer>(
        loop_, options, [this](std::span<const frame::FrameRecord> records, std::uint64_t id) {
          bridge_->Transmit(records, id);
        });
    if (!server_->Start(error)) return false;
  }
  // A replay starts once someone sees it, and at speed 0 keeps within what its readers take.
  ReplayOptions replay;
  replay.ready = [this] {
    return log_.IsOpen() || hub_.Stats().clients > 0 || (server_ && server_->ClientCount() > 0);
  };
  replay.consumers_full = [this] {
    return hub_.LargestClientBacklog() >= kReplayHubBacklogBlocks ||
           (server_ && server_->LargestClientBacklogBytes() >= kReplayServerBacklogBytes);
  };
  source_ = MakeSource(settings_, std::move(replay));
  bridge_ = std::make_unique<Bridge>(
      *source_,
      [this](std::uint32_t code, std::span<const std::uint8_t> block) {
        hub_.Deliver(code, block);
      },
      server_.get(), log_.IsOpen() ? &log_ : nullptr);
  // Frames close together share a block; the hub's posting clients are read as each hold ends.
  bridge_->CoalesceOn(loop_, kDeliveryHold, [this] { hub_.ReadHeldClients(); });
  bridge_->OnCongestion([this](bool congested) {
    if (congested) {
      hub_.PausePosters(kPauseCongested);
    } else {
      hub_.ResumePosters(kPauseCongested);
    }
    if (server_) server_->PauseReading(congested);
  });
  if (!source_->Start(
          loop_,
          [this](std::span<const frame::FrameRecord> records, std::span<const FrameTime> times) {
            bridge_->Received(records, times);
          },
          error)) {
    return false;
  }
  source_started_ = true;
  if (settings_.generate_rate > 0) {
    generator_ = std::make_unique<GeneratorDriver>(loop_, *bridge_, settings_.generate_rate);
  }
  return true;
}

Serving::~Serving() {
  generator_.reset();
  if (bridge_) bridge_->Flush();
  if (source_started_) source_->Stop();
  if (server_) server_->Stop();
  // Frames the old source held are gone with it: its senders may post again.
  hub_.ResumePosters(kPauseCongested);
}

}  // namespace tran
