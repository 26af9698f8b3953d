// The CAN side of the companion: one small interface, one implementation per medium.
//
//   virtual       a software bus inside the companion (vcan0 in logs)
//   socketcan     a raw CAN socket on a local interface (can0, vcan0, ...)
//   socketcand    a client of a remote socketcand daemon in raw mode
//   replay        a candump -l log played back with its recorded timing
//
// Each is made by the factory in its own header: tran/can/virtual_source.h,
// tran/can/socketcan_source.h, tran/socketcand/socketcand_client_source.h and
// tran/candump/replay_source.h.
//
// Sources run on the event loop thread. Frames they receive go to the receive callback in
// batches (one batch per read), each frame with its own time (tran/base/frame_time.h): the
// kernel's receive stamp, the remote's time, the replay's schedule. What a source accepts for
// transmission is echoed to the bus, the way SocketCAN's local echo shows a sender its own
// frames: by the bridge at once, or, for a source that learns when a frame was really sent
// (EchoTransmitted), by the source then.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "frame/frame_record.h"
#include "loop/event_loop.h"
#include "tran/base/frame_time.h"
#include "tran/can/can_errors.h"

namespace tran {

struct SourceCounters {
  std::uint64_t rx_overflow = 0;   // frames lost before we could read them (SO_RXQ_OVFL)
  std::uint64_t tx_dropped = 0;    // frames not transmitted (link down, bus-off, error)
  std::uint64_t rx_malformed = 0;  // input from the medium that was not a frame
  // Frames received without a record form, ignored: remote, error and CAN FD frames.
  std::uint64_t rx_remote = 0;
  std::uint64_t rx_error = 0;
  std::uint64_t rx_fd = 0;
  std::uint64_t reconnects = 0;  // links re-established after a drop
  ErrorFrameCounts errors;       // the error frames by kind (rx_error counts them all)
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

}  // namespace tran
