// `zelk_tran --status`: asks the companion that serves a bus what it is doing, over the bus
// itself (the string the companion answers for), and prints the answer.
#pragma once

#include <string>

namespace tran {

// Prints the status of the companion at bus_path (empty: the default bus) as text or JSON.
// Returns 0 when a companion answered; 1 with the reason on stderr when none serves the bus,
// it may not be reached, or it did not answer in time.
int QueryStatus(const std::string& bus_path, bool json);

}  // namespace tran
