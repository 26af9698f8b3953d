// Bus set-up shared by the headless tools: loading with a clear error, the library's figures.
#pragma once

#include <cstdint>

#include "pelmo.h"

namespace tools {

// Exit statuses of the tools.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Loads the bus library beside the program; on failure prints why on stderr.
bool load_bus_or_explain(const char* tool);

// One pmGetInfo figure; 0 while unbound or for a key the library does not know.
std::uint64_t bus_info(pm_info_key key);

// Prints the library's drop counters (and `local_drops` notifications the tool itself dropped)
// on stderr when any is non-zero.
void report_drops(const char* tool, std::uint64_t local_drops);

}  // namespace tools
