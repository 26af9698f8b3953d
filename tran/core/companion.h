// Runs the companion with parsed settings until a signal, or until it has been idle too long.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "tran/core/daemon.h"
#include "tran/core/settings.h"

namespace tran {

// The settings file, for reloading: its path (watched; empty: none) and how to read the
// settings anew (the file, with the command line over it); the error names the file's line.
struct SettingsFile {
  std::string path;
  std::function<std::optional<TranSettings>(std::string* error)> reread;
};

// Returns the process exit status. on_started is called once with the start-up result,
// after which the event loop runs (kReady) or the function returns.
int RunCompanion(const TranSettings& settings, bool detached,
                 const std::function<void(StartStatus)>& on_started, const SettingsFile& file = {});

}  // namespace tran
