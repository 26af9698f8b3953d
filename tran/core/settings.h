// The companion's settings: parsed from the configuration file and the command line by pure
// functions, so both can be tested and fuzzed without starting anything.
//
// Configuration file ($XDG_CONFIG_HOME/zelk/zelk_tran.conf), one setting per line:
//   # the companion's settings
//   source = socketcand:192.168.1.20:29536:can0
//   listen 29536
//   listen-any-user = no
//   log = /var/tmp/bus.log
//   log-max-size = 100M
//   log-keep = 10
//   foreground
// or, to play a recording instead of a CAN source (replay excludes source; loop, speed need it):
//   replay = /var/tmp/bus.log
//   loop
//   speed = 2
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tran {

inline constexpr const char* kVersionText = "zelk_tran 1.0.0.1";
// Seconds without any client after which a detached companion exits.
inline constexpr unsigned kDefaultIdleExitSeconds = 60;
inline constexpr std::uint64_t kMaxGenerateRate = 10'000'000;
inline constexpr double kMaxReplaySpeed = 1'000'000;
// --log-max-size and --log-keep: the smallest file that rotates, and the rotated files kept.
inline constexpr std::uint64_t kMinLogMaxSize = 4096;
inline constexpr unsigned kDefaultLogKeep = 5;
inline constexpr unsigned kMaxLogKeep = 1000;

enum class SourceKind { kVirtual, kSocketcan, kSocketcand, kReplay };

struct TranSettings {
  std::string bus_path;  // empty: the bus library's default address
  SourceKind source = SourceKind::kVirtual;
  std::string iface;        // socketcan interface
  std::string remote_host;  // socketcand daemon
  std::uint16_t remote_port = 0;
  std::string remote_channel;
  std::string replay_path;    // replay: a candump -l log played as the CAN bus
  bool replay_loop = false;   // start the log again at its end
  double replay_speed = 1.0;  // time scale; 0: as fast as the consumers take the frames
  bool listen = false;        // socketcand server
  std::string listen_address = "127.0.0.1";
  std::uint16_t listen_port = 0;  // 0: any free port (it is reported on start)
  bool listen_any_user = false;   // on loopback, serve socketcand clients of every user
  bool hardware_time = false;     // socketcan: the adapter's own receive stamps where given
  std::string log_path;
  std::uint64_t log_max_size = 0;       // bytes at which the log rotates; 0 never
  unsigned log_keep = kDefaultLogKeep;  // rotated log files kept
  std::uint64_t generate_rate = 0;      // frames per second, 0 off
  bool foreground = false;
  bool help = false;
  bool version = false;
  bool status = false;   // --status: ask the companion serving the bus, then exit
  bool json = false;     // --json: the status as JSON
  bool stop = false;     // --stop: ask the companion serving the bus to end, then exit
  bool restart = false;  // --restart: stop it, then start with these settings
  std::optional<unsigned> idle_exit_seconds;  // set by the hidden --idle-exit (tests); 0 never
};

// Applies one setting by its long-option name (no dashes). value is nullopt for a bare key.
// Returns an error message naming the bad item, or nullopt.
std::optional<std::string> ApplySetting(std::string_view key, std::optional<std::string_view> value,
                                        TranSettings& settings);

// Applies every line of a configuration file. The error names the line number.
std::optional<std::string> ParseSettingsText(std::string_view text, TranSettings& settings);

// Applies command-line arguments (without the program name) over `settings`.
std::optional<std::string> ParseArguments(std::span<const std::string_view> args,
                                          TranSettings& settings);

// $XDG_CONFIG_HOME/zelk/zelk_tran.conf, else $HOME/.config/zelk/zelk_tran.conf; empty if neither.
std::string SettingsFilePath(const char* xdg_config_home, const char* home);

std::string UsageText();

// The source as written on the command line, e.g. "socketcan:can0".
std::string DescribeSource(const TranSettings& settings);

// What a companion with these settings serves, for comparing two starts on one bus, e.g.
// "source socketcan:can0, socketcand on 127.0.0.1:29536, log /var/tmp/bus.log". Relative
// paths are made absolute against the current directory.
std::string DescribeServing(const TranSettings& settings);

}  // namespace tran
