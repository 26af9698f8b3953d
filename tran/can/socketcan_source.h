// The SocketCAN source: a raw CAN socket on a local interface (can0, vcan0, ...).
#pragma once

#include <memory>
#include <string>

#include "tran/can/can_source.h"

namespace tran {

// hardware_time: frames carry the adapter's own receive stamp where the driver gives one
// (often not wall-clock time), else the kernel's.
std::unique_ptr<CanSource> MakeSocketcanSource(std::string iface, bool hardware_time = false);

}  // namespace tran
