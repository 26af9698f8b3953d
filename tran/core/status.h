// What the companion is doing, for `zelk_tran --status`: a snapshot the event loop thread
// refreshes every quarter second, rendered as text or JSON with the bus clients at the time
// of the question.
//
// The companion's hub answers two queries of the bus protocol (pelmo::Hub::SetHostAnswer),
// so any bus client can ask: kStatusTextName and kStatusJsonName.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "hub/hub.h"
#include "tran/can/can_source.h"

namespace tran {

inline constexpr const char* kStatusTextName = "zelk_tran.status";
inline constexpr const char* kStatusJsonName = "zelk_tran.status.json";
// What the companion serves, as DescribeServing writes it (a second start compares).
inline constexpr const char* kServingName = "zelk_tran.serving";
// Asks the companion to end; it answers, then stops.
inline constexpr const char* kStopName = "zelk_tran.stop";

struct StatusSnapshot {
  std::string version;
  long pid = 0;
  std::chrono::steady_clock::time_point started{};
  std::string bus_path;
  std::string source;  // as on the command line: "socketcan:can0"
  SourceStatus source_status;
  std::uint64_t frames_last_second = 0;
  std::uint64_t bits_last_second = 0;
  std::uint64_t peak_frames = 0;  // in one second, since start
  std::uint64_t peak_bits = 0;
  std::uint64_t received = 0;         // frames from CAN
  std::uint64_t sent = 0;             // frames put on CAN (echoed)
  std::uint64_t held = 0;             // waiting for room in the interface queue
  std::uint64_t not_transmitted = 0;  // dropped: link down, bus-off, refused
  std::uint64_t rx_queue_drops = 0;   // lost in the kernel's receive queue
  std::uint64_t hub_blocks_dropped = 0;
  std::uint64_t socketcand_frames_dropped = 0;
  std::uint64_t log_frames_not_logged = 0;
  std::string listen;  // "127.0.0.1:29536"; empty: no socketcand server
  std::size_t socketcand_clients = 0;
  std::string log_path;  // empty: no log
  std::uint64_t log_bytes = 0;
};

std::string FormatStatusText(const StatusSnapshot& status,
                             const std::vector<pelmo::ClientView>& clients,
                             std::chrono::steady_clock::time_point now);
std::string FormatStatusJson(const StatusSnapshot& status,
                             const std::vector<pelmo::ClientView>& clients,
                             std::chrono::steady_clock::time_point now);

}  // namespace tran
