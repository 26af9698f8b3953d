// What the kernel knows about a CAN interface, asked over rtnetlink as `ip -details link show`
// does: whether it is up, the controller's state and error counters, and the bitrate.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "tran/can/can_errors.h"

namespace tran {

struct CanLinkInfo {
  bool up = false;
  std::optional<ControllerState> state;   // absent on interfaces without a controller (vcan)
  std::optional<ErrorCounters> counters;  // when the driver reports them
  std::optional<std::uint32_t> bitrate;   // bit/s, when the kernel knows it
};

// Asks the kernel about interface `index`; nullopt when it cannot be asked or has no such link.
std::optional<CanLinkInfo> QueryCanLink(int index);

// Reads an RTM_NEWLINK answer (the netlink messages of one recv); exposed for tests.
std::optional<CanLinkInfo> ParseLinkAnswer(std::span<const std::uint8_t> bytes);

}  // namespace tran
