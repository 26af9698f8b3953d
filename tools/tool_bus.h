// Bus set-up shared by the headless tools: loading with a clear error, the library's figures.
#pragma once

#include <cstdint>
#include <string>

#include "pelmo.h"
#include "tools/tool_args.h"

namespace tools {

// Exit statuses of the tools.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Loads the bus library beside the program; on failure prints why on stderr.
bool load_bus_or_explain(const char* tool);

// Registers a window through the library's own entry point (the wrapper does not say whether the
// library accepted it); on refusal prints why on stderr.
bool register_or_explain(const char* tool, pm_window& window, std::uint32_t value);

// The exit of a run that stops at its arguments: usage on stdout for --help (status 0), the bad
// item on stderr otherwise (status 2).
int finish_without_running(const char* tool, ParseStatus status, const std::string& error,
                           const char* usage);

// One pmGetInfo figure; 0 while unbound or for a key the library does not know.
std::uint64_t bus_info(pm_info_key key);

// The library's PM_INFO_OFFLINE_REASON when it is a refusal (another user's bus or hub), which no
// waiting mends; PM_OFFLINE_NONE otherwise, also while the bus may yet be reached.
std::uint64_t bus_refusal();

// Prints why the bus refused this process on stderr when it did; true then.
bool report_refusal(const char* tool);

// Prints the library's drop counters (and `local_drops` notifications the tool itself dropped)
// on stderr when any is non-zero.
void report_drops(const char* tool, std::uint64_t local_drops);

}  // namespace tools
