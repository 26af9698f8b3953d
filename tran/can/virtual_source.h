// The virtual bus: a software CAN bus inside the companion, named vcan0 in logs.
#pragma once

#include <memory>

#include "tran/can/can_source.h"

namespace tran {

std::unique_ptr<CanSource> MakeVirtualSource();

}  // namespace tran
