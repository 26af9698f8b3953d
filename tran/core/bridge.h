// The bridge between the bus and the CAN source, on the event loop thread.
//
// Frames transmitted (posted by bus clients, sent by socketcand clients, generated) go to the
// source; what it accepts is echoed like SocketCAN's local echo: at once, or by a source that
// knows when a frame was sent (a SocketCAN interface) once it was. Echoed and received frames
// carry their own times (the record's millisecond stamp is taken from each) and are
// distributed: to every bus client in blocks of at most
// kMaxBlockRecords, to socketcand clients (except the one that sent them) and to the log.
// With CoalesceOn, frames that reach the bus close together share a block (BlockCoalescer):
// an idle bus gets a frame at once, a busy one a block per kDeliveryHold.
//
// Flow: a source holds what its medium cannot take yet. While that backlog is long
// (kTransmitHighWater, until it is down to kTransmitLowWater) the bridge says it is congested,
// and the companion stops taking frames from their senders instead of dropping them.
//
// Threads: every method runs on the event loop thread, which also serves the hub.
#pragma once

#include <sys/time.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frame/frame_record.h"
#include "loop/event_loop.h"
#include "tran/can/can_source.h"
#include "tran/candump/candump_log.h"
#include "tran/core/block_coalescer.h"
#include "tran/core/bus_load.h"
#include "tran/socketcand/socketcand_server.h"

namespace tran {

inline constexpr std::uint32_t kFramePostMask = 0x200000FF;
inline constexpr std::uint32_t kFramePostCode = 0x20000012;
inline constexpr std::uint32_t kFrameDeliveryCode = 0x10000412;
inline constexpr std::size_t kMaxBlockRecords = 256;
// Longest a frame waits to share its block with the frames that follow it.
inline constexpr std::chrono::milliseconds kDeliveryHold{2};
// How long the hub waits after reading a client's posts before reading that client again: a
// trickle of posts is then read in batches; a frame waits at most this long to be read.
inline constexpr std::chrono::milliseconds kPostReadHold{2};
// Frames held for transmission at which senders are paused, and at which they resume: soon,
// so that on a slow bus a sender waits seconds at most for its next frame to be taken (a
// sender gives up after a while without progress), yet not after every frame.
inline constexpr std::size_t kTransmitHighWater = 4096;
inline constexpr std::size_t kTransmitLowWater = kTransmitHighWater - 64;

class Bridge {
 public:
  using DeliverFn = std::function<void(std::uint32_t code, std::span<const std::uint8_t> block)>;

  // server and log may be null. Everything must outlive the bridge.
  Bridge(CanSource& source, DeliverFn deliver, SocketcandServer* server, CandumpLog* log);
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // From now on, gathers bus deliveries into blocks with holds of `hold`, timed on `loop`.
  // take_posts (may be empty) is called as each hold ends, before what waits goes out: it
  // takes the frames posted on the bus meanwhile (the hub reads its held clients), so that
  // they join the block and a steady trickle costs one wake-up per hold. Without this call
  // every frame batch is delivered at once.
  void CoalesceOn(zelk::EventLoop& loop, std::chrono::steady_clock::duration hold,
                  std::function<void()> take_posts = {});

  // Hands over at once what waits in the coalescer (before the bridge goes).
  void Flush();

  // A block posted on the bus: its whole frame records are transmitted when it carries the
  // monitors' frame code; other blocks are not for CAN and are ignored. With CoalesceOn, the
  // posts of one loop round go to the source together, at the round's end (or as a hold ends,
  // ahead of the frames it gathered).
  void TransmitPosted(std::uint32_t code, std::span<const std::uint8_t> block);

  // Frames to put on the CAN bus; origin is the socketcand client that sent them (0: none).
  // Returns how many the source accepted.
  std::size_t Transmit(std::span<const frame::FrameRecord> records, std::uint64_t origin = 0);
  // Frames the source received from the CAN bus, with their times.
  void Received(std::span<const frame::FrameRecord> records, std::span<const FrameTime> times);

  std::uint64_t FramesDistributed() const { return distributed_; }
  std::uint64_t FramesReceived() const { return received_; }  // from CAN
  std::uint64_t FramesSent() const { return sent_; }          // put on CAN, as echoed
  BusLoad& Load() { return load_; }

  // Called with true when the source's transmit backlog reaches kTransmitHighWater, and with
  // false once it is down to kTransmitLowWater.
  void OnCongestion(std::function<void(bool congested)> fn) { on_congestion_ = std::move(fn); }
  bool Congested() const { return congested_; }

 private:
  void Distribute(std::span<const frame::FrameRecord> records, std::span<const FrameTime> times,
                  std::uint64_t skip_client);
  void DeliverBlocks(std::span<const frame::FrameRecord> records);
  void FollowHold();
  void OnHoldEnd();
  void CheckFlow();
  void TransmitPostsWaiting();

  CanSource& source_;
  DeliverFn deliver_;
  SocketcandServer* server_;
  CandumpLog* log_;
  std::vector<frame::FrameRecord> stamped_;
  std::vector<FrameTime> now_times_;  // for frames echoed as they are accepted
  std::uint64_t distributed_ = 0;
  std::uint64_t received_ = 0;
  std::uint64_t sent_ = 0;
  BusLoad load_;
  bool source_echoes_ = false;
  bool congested_ = false;
  std::function<void(bool)> on_congestion_;
  zelk::EventLoop* loop_ = nullptr;
  std::function<void()> take_posts_;
  std::vector<frame::FrameRecord> posted_;   // posts of this round, not yet transmitted
  std::vector<frame::FrameRecord> posting_;  // the ones being transmitted
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // held weakly by deferred tasks
  std::optional<BlockCoalescer> coalescer_;
  std::uint64_t hold_timer_ = 0;  // 0: none armed
  zelk::EventLoop::Clock::time_point hold_timer_at_{};
};

}  // namespace tran
