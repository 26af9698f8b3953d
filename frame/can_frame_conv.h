// Conversions between the frame record and Linux's struct can_frame.
//
//   record ext 0x115599 len 8  <-> can_id 0x80115599 (CAN_EFF_FLAG), len 8
//   record std 0x123 len 2     <-> can_id 0x123, len 2
//   record length code 9..15   <-> len 8, len8_dlc 9..15
// Remote and error frames have no record form.
#pragma once

#include <linux/can.h>

#include <cstdint>
#include <optional>

#include "frame/frame_record.h"

namespace frame {

can_frame ToCanFrame(const FrameRecord& record) noexcept;

// nullopt for remote (CAN_RTR_FLAG) and error (CAN_ERR_FLAG) frames.
std::optional<FrameRecord> FromCanFrame(const can_frame& frame, std::uint16_t timestamp) noexcept;

}  // namespace frame
