// Handling of a bus notification, shared by the window and the headless tools.
#pragma once

#include <cstdint>

#include "frame/receive_log.h"

namespace bus {

// True when a delivered code word is one the monitor accepts: bit 10, bit 28, kind 0x12.
bool IsAcceptedDelivery(std::uint32_t code) noexcept;

// Runs the notification rules: nothing while paused or for a foreign code; otherwise fetches
// the block and shows each whole 16-byte record in order (a trailing part-record is ignored).
// Returns 0, as the window message does.
std::intptr_t OnBusNotify(bool paused, std::uintptr_t code, std::intptr_t handle,
                          const frame::ShowRecordContext& ctx);

}  // namespace bus
