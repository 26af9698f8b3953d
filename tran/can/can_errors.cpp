#include "tran/can/can_errors.h"

#include <linux/can/error.h>

namespace tran {

const char* StateName(ControllerState state) {
  switch (state) {
    case ControllerState::kActive:
      return "error-active";
    case ControllerState::kWarning:
      return "error-warning";
    case ControllerState::kPassive:
      return "error-passive";
    case ControllerState::kBusOff:
      return "bus-off";
    case ControllerState::kStopped:
      return "stopped";
  }
  return "unknown";
}

ErrorFrame DecodeErrorFrame(const can_frame& frame) {
  ErrorFrame out;
  const canid_t id = frame.can_id;
  const std::uint8_t controller = (id & CAN_ERR_CRTL) ? frame.data[1] : 0;
  // The worst state the frame names wins: bus-off, then passive, then warning.
  if (id & CAN_ERR_BUSOFF) {
    out.state = ControllerState::kBusOff;
  } else if (controller & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE)) {
    out.state = ControllerState::kPassive;
  } else if (controller & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING)) {
    out.state = ControllerState::kWarning;
  } else if ((controller & CAN_ERR_CRTL_ACTIVE) || (id & CAN_ERR_RESTARTED)) {
    out.state = ControllerState::kActive;
  }
  if (id & CAN_ERR_CNT) out.counters = ErrorCounters{frame.data[6], frame.data[7]};
  out.kinds.no_ack = (id & CAN_ERR_ACK) != 0;
  out.kinds.bus_error = (id & (CAN_ERR_PROT | CAN_ERR_BUSERROR)) != 0;
  out.kinds.controller = (id & CAN_ERR_TX_TIMEOUT) != 0 ||
                         (controller & (CAN_ERR_CRTL_RX_OVERFLOW | CAN_ERR_CRTL_TX_OVERFLOW)) != 0;
  out.kinds.lost_arbitration = (id & CAN_ERR_LOSTARB) != 0;
  out.kinds.transceiver = (id & CAN_ERR_TRX) != 0;
  return out;
}

void ErrorFrameCounts::Add(const ErrorKinds& kinds) {
  no_ack += kinds.no_ack;
  bus_error += kinds.bus_error;
  controller += kinds.controller;
  lost_arbitration += kinds.lost_arbitration;
  transceiver += kinds.transceiver;
}

}  // namespace tran
