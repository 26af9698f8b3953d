// The CAN side of the companion: one small interface, one implementation per medium.
//
//   virtual       a software bus inside the companion (vcan0 in logs)
//   socketcan     a raw CAN socket on a local interface (can0, vcan0, ...)
//   socketcand    a client of a remote socketcand daemon in raw mode
//   replay        a candump -l log played back with its recorded timing
//
// Sources run on the event loop thread. Frames they receive go to the receive callback in
// batches (one batch per read), each frame with its own time (frame_time.h): the kernel's
// receive stamp, the remote's time, the replay's schedule. What a source accepts for transmission is echoed to the bus,
// the way SocketCAN's local echo shows a sender its own frames: by the bridge at once, or,
// for a source that learns when a frame was really sent (EchoTransmitted), by the source then.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "frame/frame_record.h"
#include "tran/can_errors.h"
#include "loop/event_loop.h"
#include "tran/frame_time.h"

namespace tran {

struct SourceCounters {
  std::uint64_t rx_overflow = 0;   // frames lost before we could read them (SO_RXQ_OVFL)
  std::uint64_t tx_dropped = 0;    // frames not transmitted (link down, bus-off, error)
  std::uint64_t rx_malformed = 0;  // input from the medium that was not a frame
  // Frames received without a record form, ignored: remote, error and CAN FD frames.
  std::uint64_t rx_remote = 0;
  std::uint64_t rx_error = 0;
  std::uint64_t rx_fd = 0;
  std::uint64_t reconnects = 0;    // links re-established after a drop
  ErrorFrameCounts errors;         // the error frames by kind (rx_error counts them all)
};

// What a source can say about its medium right now, for the companion's status.
struct SourceStatus {
  std::string link;  // "up", "down", "gone", "connected", "connecting", "playing", "finished"
  std::optional<ControllerState> state;   // a CAN controller's, when the interface has one
  std::optional<ErrorCounters> counters;  // its error counters, when the driver gives them
  std::optional<std::uint32_t> bitrate;   // bit/s, when the kernel knows it
};

class CanSource {
 public:
  // Frames and their times, of the same length.
  using ReceiveFn =
      std::function<void(std::span<const frame::FrameRecord>, std::span<const FrameTime>)>;
  // Frames this source transmitted, now on the bus, with the times they were; origin as given
  // to Transmit.
  using EchoFn = std::function<void(std::span<const frame::FrameRecord>, std::span<const FrameTime>,
                                    std::uint64_t origin)>;

  virtual ~CanSource() = default;
  // Starts receiving on `loop`. False (with a reason) when the medium cannot be opened.
  virtual bool Start(zelk::EventLoop& loop, ReceiveFn on_receive, std::string* error) = 0;
  virtual void Stop() = 0;
  // Transmits records in order; returns how many leading records were accepted. The rest are
  // dropped and counted in tx_dropped. origin names the socketcand client that sent them
  // (0: none); an echo carries it back.
  virtual std::size_t Transmit(std::span<const frame::FrameRecord> records,
                               std::uint64_t origin = 0) = 0;
  // Before Start: a source that can tell when a frame has left for the bus takes on_echo and
  // returns true; it then hands back each accepted frame once it was sent, in order with the
  // frames it receives. False: the caller echoes what Transmit accepted.
  virtual bool EchoTransmitted(EchoFn /*on_echo*/) { return false; }
  // Frames accepted and not yet handed to the medium (a full interface queue holds them).
  virtual std::size_t TransmitBacklog() const { return 0; }
  // Before Start: called on the loop thread whenever the backlog has shrunk.
  virtual void OnBacklogShrunk(std::function<void()> /*fn*/) {}
  virtual SourceCounters Counters() const = 0;
  virtual SourceStatus Status() const { return {"up", {}, {}, {}}; }
  // Interface name for log lines: "vcan0", the socketcan interface, the socketcand channel.
  virtual std::string LogName() const = 0;
};

std::unique_ptr<CanSource> MakeVirtualSource();
// hardware_time: frames carry the adapter's own receive stamp where the driver gives one
// (often not wall-clock time), else the kernel's.
std::unique_ptr<CanSource> MakeSocketcanSource(std::string iface, bool hardware_time = false);

struct SocketcandClientOptions {
  std::string host;
  std::uint16_t port = 0;
  std::string channel;
  std::chrono::milliseconds min_backoff{250};
  std::chrono::milliseconds max_backoff{8000};
  std::size_t max_output_bytes = 256 * 1024;
};
std::unique_ptr<CanSource> MakeSocketcandClientSource(SocketcandClientOptions options);

// What one pass over a replayed log found.
struct ReplaySummary {
  std::uint64_t pass = 0;            // 1 for the first pass over the file
  std::uint64_t frames = 0;          // frames played in this pass
  std::uint64_t lines_skipped = 0;   // lines not played: other frame kinds, garbage, truncated
  std::uint64_t first_bad_line = 0;  // line number of the first skipped line; 0 none
  std::string first_bad_reason;      // "CAN FD frame", "truncated last line", ...
  std::string read_error;            // set when reading the file failed; the replay ends
};

// The replay is a virtual bus on which a recording talks: frames clients send are accepted
// and echoed, as on the virtual bus. Frames of every interface in the log go onto the one bus.
//   speed 1     the recorded gaps; speed 2 halves them. A backwards step in the recorded time
//               counts as no gap. Like live traffic, a reader too slow for the rate loses
//               frames (counted by the hub, the server).
//   speed 0     no gaps, and no losses: before each batch the replay waits while
//               consumers_full says a consumer has no room.
//   loop        at the end of the file the next pass starts at once (if the pass played any
//               frame). Without loop the bus stays up with no more traffic from the log.
// Lines it cannot play are skipped and counted; the first is reported when met, and the
// summary of the first pass (and of any pass that fails to read) at its end.
struct ReplayOptions {
  std::string path;
  bool loop = false;
  double speed = 1.0;
  std::function<bool()> ready;           // the replay starts once this holds; null: at once
  std::function<bool()> consumers_full;  // speed 0: wait while this holds; null: never
  std::function<void(const ReplaySummary&)> on_end_of_pass;  // null: nothing beyond the report
  std::size_t read_buffer_bytes = 64 * 1024;  // also the longest line; longer ones are skipped
};
// Start fails (with the reason) when the file cannot be opened or is not a regular file.
std::unique_ptr<CanSource> MakeReplaySource(ReplayOptions options);

}  // namespace tran
