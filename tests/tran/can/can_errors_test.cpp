#include "tran/can/can_errors.h"

#include <gtest/gtest.h>
#include <linux/can/error.h>

#include <vector>

namespace tran {
namespace {

struct ErrorCase {
  const char* what;
  canid_t id;  // without CAN_ERR_FLAG
  std::vector<std::uint8_t> data;
  std::optional<ControllerState> state;
  std::optional<ErrorCounters> counters;
  ErrorKinds kinds;
};

// Error frames as drivers send them: state changes with and without counters, the bus-off
// and restart notices, and the error kinds the companion counts.
TEST(can_errors, decodes_state_counters_and_kinds) {
  const std::vector<ErrorCase> table = {
      {"tx warning with counters",
       CAN_ERR_CRTL | CAN_ERR_CNT,
       {0, CAN_ERR_CRTL_TX_WARNING, 0, 0, 0, 0, 96, 3},
       ControllerState::kWarning,
       ErrorCounters{96, 3},
       {}},
      {"rx passive",
       CAN_ERR_CRTL,
       {0, CAN_ERR_CRTL_RX_PASSIVE, 0, 0, 0, 0, 0, 0},
       ControllerState::kPassive,
       std::nullopt,
       {}},
      {"passive wins over warning",
       CAN_ERR_CRTL | CAN_ERR_CNT,
       {0, CAN_ERR_CRTL_TX_PASSIVE | CAN_ERR_CRTL_RX_WARNING, 0, 0, 0, 0, 128, 100},
       ControllerState::kPassive,
       ErrorCounters{128, 100},
       {}},
      {"bus-off",
       CAN_ERR_BUSOFF | CAN_ERR_CNT,
       {0, 0, 0, 0, 0, 0, 255, 0},
       ControllerState::kBusOff,
       ErrorCounters{255, 0},
       {}},
      {"back to active",
       CAN_ERR_CRTL,
       {0, CAN_ERR_CRTL_ACTIVE, 0, 0, 0, 0, 0, 0},
       ControllerState::kActive,
       std::nullopt,
       {}},
      {"restarted after bus-off",
       CAN_ERR_RESTARTED,
       {0, 0, 0, 0, 0, 0, 0, 0},
       ControllerState::kActive,
       std::nullopt,
       {}},
      {"no acknowledgement",
       CAN_ERR_ACK | CAN_ERR_PROT,
       {0, 0, 0, CAN_ERR_PROT_LOC_ACK, 0, 0, 0, 0},
       std::nullopt,
       std::nullopt,
       {.no_ack = true, .bus_error = true}},
      {"rx overflow and a transmit time-out",
       CAN_ERR_CRTL | CAN_ERR_TX_TIMEOUT,
       {0, CAN_ERR_CRTL_RX_OVERFLOW, 0, 0, 0, 0, 0, 0},
       std::nullopt,
       std::nullopt,
       {.controller = true}},
      {"lost arbitration and a transceiver fault",
       CAN_ERR_LOSTARB | CAN_ERR_TRX,
       {5, 0, 0, 0, CAN_ERR_TRX_CANH_NO_WIRE, 0, 0, 0},
       std::nullopt,
       std::nullopt,
       {.lost_arbitration = true, .transceiver = true}},
  };
  for (const auto& c : table) {
    can_frame frame{};
    frame.can_id = CAN_ERR_FLAG | c.id;
    frame.len = CAN_ERR_DLC;
    std::copy(c.data.begin(), c.data.end(), frame.data);
    const ErrorFrame got = DecodeErrorFrame(frame);
    EXPECT_EQ(got.state, c.state) << c.what;
    EXPECT_EQ(got.counters, c.counters) << c.what;
    EXPECT_EQ(got.kinds.no_ack, c.kinds.no_ack) << c.what;
    EXPECT_EQ(got.kinds.bus_error, c.kinds.bus_error) << c.what;
    EXPECT_EQ(got.kinds.controller, c.kinds.controller) << c.what;
    EXPECT_EQ(got.kinds.lost_arbitration, c.kinds.lost_arbitration) << c.what;
    EXPECT_EQ(got.kinds.transceiver, c.kinds.transceiver) << c.what;
  }
}

}  // namespace
}  // namespace tran
