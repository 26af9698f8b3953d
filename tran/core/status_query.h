// Asking the companion that serves a bus, over the bus itself (the query kind of the hub
// protocol): `zelk_tran --status`, `--stop`, and a second start comparing settings.
#pragma once

#include <string>

namespace tran {

enum class AskResult {
  kAnswered,     // *answer holds the companion's answer
  kNotAnswered,  // a hub serves the bus but gives no such answer (not a companion's)
  kNoCompanion,  // nothing serves the bus
  kUnreachable,  // it cannot be reached, or did not answer in time; *error says why
};

// Sends the query `name` to the hub at bus_path and waits up to 2 s for its answer.
AskResult AskCompanion(const std::string& bus_path, const std::string& name, std::string* answer,
                       std::string* error);

// Prints the status of the companion at bus_path (empty: the default bus) as text or JSON.
// Returns 0 when a companion answered; 1 with the reason on stderr when none serves the bus,
// it may not be reached, or it did not answer in time.
int QueryStatus(const std::string& bus_path, bool json);

// Asks the companion at bus_path to end and waits until the bus is free (5 s at most).
// Returns 0 once it has ended; 1 with the reason on stderr otherwise. none_is_ok: no
// companion serving the bus counts as done (for a restart).
int StopCompanion(const std::string& bus_path, bool none_is_ok);

}  // namespace tran
