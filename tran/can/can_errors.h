// What a SocketCAN error frame says: the controller's state, its error counters and the kinds
// of error it reports. Drivers put these in error frames (CAN_ERR_FLAG) as described in
// <linux/can/error.h>; a raw socket receives them with CAN_RAW_ERR_FILTER.
#pragma once

#include <linux/can.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tran {

enum class ControllerState { kActive, kWarning, kPassive, kBusOff, kStopped };

// "error-active", "error-warning", "error-passive", "bus-off", "stopped".
const char* StateName(ControllerState state);

struct ErrorCounters {
  unsigned tx = 0;
  unsigned rx = 0;
  bool operator==(const ErrorCounters&) const = default;
};

// The kinds of error an error frame may report; one frame can carry several.
struct ErrorKinds {
  bool no_ack = false;            // nobody acknowledged a frame sent
  bool bus_error = false;         // protocol violations seen on the bus
  bool controller = false;        // controller problems: overflows, transmit time-outs
  bool lost_arbitration = false;  // a frame lost arbitration
  bool transceiver = false;       // wiring or transceiver faults
};

struct ErrorFrame {
  std::optional<ControllerState> state;   // set when the frame tells the controller's state
  std::optional<ErrorCounters> counters;  // set when the driver gives them (CAN_ERR_CNT)
  ErrorKinds kinds;
};

// Decodes an error frame; `frame.can_id` must carry CAN_ERR_FLAG.
ErrorFrame DecodeErrorFrame(const can_frame& frame);

// Error frames counted by kind, for the companion's reports.
struct ErrorFrameCounts {
  std::uint64_t no_ack = 0;
  std::uint64_t bus_error = 0;
  std::uint64_t controller = 0;
  std::uint64_t lost_arbitration = 0;
  std::uint64_t transceiver = 0;
  void Add(const ErrorKinds& kinds);
};

}  // namespace tran
