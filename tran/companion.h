// Runs the companion with parsed settings until a signal, or until it has been idle too long.
#pragma once

#include <functional>

#include "tran/daemon.h"
#include "tran/settings.h"

namespace tran {

// Returns the process exit status. on_started is called once with the start-up result,
// after which the event loop runs (kReady) or the function returns.
int RunCompanion(const TranSettings& settings, bool detached,
                 const std::function<void(StartStatus)>& on_started);

}  // namespace tran
