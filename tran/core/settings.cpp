#include "tran/core/settings.h"

#include <arpa/inet.h>

#include <charconv>
#include <cmath>
#include <filesystem>
#include <limits>
#include <sstream>
#include <vector>

namespace tran {

namespace {

std::string Quote(std::string_view text) {
  // Built by appending: GCC 12 warns falsely (-Wrestrict) on "'" + std::string(...).
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '\'';
  quoted.append(text);
  quoted += '\'';
  return quoted;
}

std::string_view Trim(std::string_view text) {
  const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

template <typename T>
std::optional<T> ParseNumber(std::string_view text, T min, T max) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  if (value < min || value > max) return std::nullopt;
  return value;
}

bool IsValidAddress(const std::string& address) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, address.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, address.c_str(), buffer) == 1;
}

// "29536", ":29536", "0.0.0.0:29536", "[::1]:29536", "localhost:29536" (as 127.0.0.1).
std::optional<std::string> ApplyListen(std::string_view value, TranSettings& settings) {
  std::string address = "127.0.0.1";
  std::string_view port_text = value;
  const std::size_t colon = value.rfind(':');
  if (colon != std::string_view::npos) {
    std::string_view host = value.substr(0, colon);
    port_text = value.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
    }
    if (!host.empty()) address = host == "localhost" ? "127.0.0.1" : std::string(host);
  }
  const auto port = ParseNumber<std::uint16_t>(port_text, 0, 65535);
  if (!port) return "bad port in --listen " + Quote(value);
  if (!IsValidAddress(address)) return "bad address in --listen " + Quote(value);
  settings.listen = true;
  settings.listen_address = address;
  settings.listen_port = *port;
  return std::nullopt;
}

std::optional<std::string> ApplySource(std::string_view value, TranSettings& settings) {
  const std::string bad = "bad --source " + Quote(value) +
                          " (expected virtual, socketcan:IFACE or socketcand:HOST:PORT:CHANNEL)";
  if (value == "virtual") {
    settings.source = SourceKind::kVirtual;
    return std::nullopt;
  }
  if (value.starts_with("socketcan:")) {
    const std::string_view iface = value.substr(10);
    // Interface names are at most 15 bytes (IFNAMSIZ - 1), without '/' or spaces.
    if (iface.empty() || iface.size() > 15 || iface.find_first_of("/ \t:") != iface.npos) {
      return bad;
    }
    settings.source = SourceKind::kSocketcan;
    settings.iface = std::string(iface);
    return std::nullopt;
  }
  if (value.starts_with("socketcand:")) {
    const std::string_view rest = value.substr(11);
    const std::size_t channel_colon = rest.rfind(':');
    if (channel_colon == std::string_view::npos) return bad;
    const std::size_t port_colon = rest.rfind(':', channel_colon == 0 ? 0 : channel_colon - 1);
    if (port_colon == std::string_view::npos || port_colon >= channel_colon) return bad;
    std::string_view host = rest.substr(0, port_colon);
    const std::string_view port_text = rest.substr(port_colon + 1, channel_colon - port_colon - 1);
    const std::string_view channel = rest.substr(channel_colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
    }
    const auto port = ParseNumber<std::uint16_t>(port_text, 1, 65535);
    if (host.empty() || !port || channel.empty() ||
        channel.find_first_of(" \t<>") != std::string_view::npos) {
      return bad;
    }
    settings.source = SourceKind::kSocketcand;
    settings.remote_host = std::string(host);
    settings.remote_port = *port;
    settings.remote_channel = std::string(channel);
    return std::nullopt;
  }
  return bad;
}

std::optional<bool> ParseBool(std::optional<std::string_view> value) {
  if (!value) return true;
  if (*value == "true" || *value == "yes" || *value == "on" || *value == "1") return true;
  if (*value == "false" || *value == "no" || *value == "off" || *value == "0") return false;
  return std::nullopt;
}

bool TakesValue(std::string_view key) {
  return key == "bus" || key == "source" || key == "listen" || key == "log" || key == "generate" ||
         key == "idle-exit" || key == "replay" || key == "speed" || key == "log-max-size" ||
         key == "log-keep";
}

bool IsFlag(std::string_view key) {
  return key == "foreground" || key == "loop" || key == "listen-any-user" || key == "hardware-time";
}

// A replay is the CAN source: one layer of settings (the file, the command line) names either
// a source or a replay; a later layer overrides an earlier one.
struct SourceChoice {
  bool source = false;
  bool replay = false;
  bool replay_options = false;  // loop or speed
  // False once the layer has named both.
  bool Take(std::string_view key) {
    source = source || key == "source";
    replay = replay || key == "replay";
    replay_options = replay_options || key == "loop" || key == "speed";
    return !(source && replay);
  }
};

std::optional<std::string> ApplySpeed(std::string_view value, TranSettings& settings) {
  double speed = -1;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), speed);
  if (ec != std::errc{} || end != value.data() + value.size() || !std::isfinite(speed) ||
      speed > kMaxReplaySpeed || (speed != 0 && speed < 0.001)) {
    return "bad speed " + Quote(value) +
           " (0: as fast as the clients take the frames; else a factor from 0.001, 1 = recorded)";
  }
  settings.replay_speed = speed;
  return std::nullopt;
}

// Bytes, or with a suffix k or K (KiB), M (MiB) or G (GiB): "4096", "64k", "100M", "2G".
std::optional<std::string> ApplyLogMaxSize(std::string_view value, TranSettings& settings) {
  std::uint64_t unit = 1;
  std::string_view digits = value;
  switch (value.back()) {
    case 'k':
    case 'K':
      unit = 1024;
      break;
    case 'M':
      unit = 1024 * 1024;
      break;
    case 'G':
      unit = 1024 * 1024 * 1024;
      break;
    default:
      break;
  }
  if (unit > 1) digits.remove_suffix(1);
  const auto count =
      ParseNumber<std::uint64_t>(digits, 0, std::numeric_limits<std::uint64_t>::max() / unit);
  if (!count || *count * unit < kMinLogMaxSize) {
    return "bad size " + Quote(value) + " for log-max-size (bytes, or with a suffix k, M or G; " +
           "at least " + std::to_string(kMinLogMaxSize / 1024) + "k)";
  }
  settings.log_max_size = *count * unit;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ApplySetting(std::string_view key, std::optional<std::string_view> value,
                                        TranSettings& settings) {
  if (IsFlag(key)) {
    const auto flag = ParseBool(value);
    if (!flag) {
      return "bad value " + Quote(*value) + " for " + std::string(key) +
             " (expected true or false)";
    }
    (key == "loop"              ? settings.replay_loop
     : key == "listen-any-user" ? settings.listen_any_user
     : key == "hardware-time"   ? settings.hardware_time
                                : settings.foreground) = *flag;
    return std::nullopt;
  }
  if (!TakesValue(key)) return "unknown setting " + Quote(key);
  if (!value || value->empty()) return "missing value for " + std::string(key);
  if (key == "bus") {
    settings.bus_path = std::string(*value);
    return std::nullopt;
  }
  if (key == "source") return ApplySource(*value, settings);
  if (key == "listen") return ApplyListen(*value, settings);
  if (key == "log") {
    settings.log_path = std::string(*value);
    return std::nullopt;
  }
  if (key == "log-max-size") return ApplyLogMaxSize(*value, settings);
  if (key == "log-keep") {
    const auto keep = ParseNumber<unsigned>(*value, 1, kMaxLogKeep);
    if (!keep) {
      return "bad count " + Quote(*value) + " for log-keep (1 to " + std::to_string(kMaxLogKeep) +
             " files)";
    }
    settings.log_keep = *keep;
    return std::nullopt;
  }
  if (key == "replay") {
    settings.source = SourceKind::kReplay;
    settings.replay_path = std::string(*value);
    return std::nullopt;
  }
  if (key == "speed") return ApplySpeed(*value, settings);
  if (key == "generate") {
    const auto rate = ParseNumber<std::uint64_t>(*value, 0, kMaxGenerateRate);
    if (!rate) {
      return "bad rate " + Quote(*value) + " for generate (0 to " +
             std::to_string(kMaxGenerateRate) + " frames/s)";
    }
    settings.generate_rate = *rate;
    return std::nullopt;
  }
  // idle-exit
  const auto seconds = ParseNumber<unsigned>(*value, 0, 86400);
  if (!seconds) return "bad seconds " + Quote(*value) + " for idle-exit";
  settings.idle_exit_seconds = *seconds;
  return std::nullopt;
}

std::optional<std::string> ParseSettingsText(std::string_view text, TranSettings& settings) {
  std::size_t line_number = 0;
  SourceChoice choice;
  while (!text.empty()) {
    ++line_number;
    const std::size_t end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == '#') continue;
    // "key = value", "key value" or a bare "key".
    const std::size_t key_end = line.find_first_of(" \t=");
    const std::string_view key = line.substr(0, key_end);
    std::optional<std::string_view> value;
    if (key_end != std::string_view::npos) {
      std::string_view rest = Trim(line.substr(key_end));
      if (!rest.empty() && rest.front() == '=') rest = Trim(rest.substr(1));
      value = rest;
    }
    if (key == "help" || key == "version" || key == "status" || key == "json" || key == "stop" ||
        key == "restart") {
      return "line " + std::to_string(line_number) + ": " + Quote(key) + " is not a setting";
    }
    auto error = ApplySetting(key, value, settings);
    if (!error && !choice.Take(key)) error = "replay and source exclude each other";
    if (error) return "line " + std::to_string(line_number) + ": " + *error;
  }
  return std::nullopt;
}

std::optional<std::string> ParseArguments(std::span<const std::string_view> args,
                                          TranSettings& settings) {
  SourceChoice choice;
  bool any_user_given = false;
  bool rotation_given = false;
  bool keep_given = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "-h" || arg == "--help") {
      settings.help = true;
      continue;
    }
    if (arg == "--version") {
      settings.version = true;
      continue;
    }
    if (arg == "--status" || arg == "--json" || arg == "--stop" || arg == "--restart") {
      (arg == "--status" ? settings.status
       : arg == "--json" ? settings.json
       : arg == "--stop" ? settings.stop
                         : settings.restart) = true;
      continue;
    }
    if (!arg.starts_with("--") || arg.size() == 2) {
      return (arg.starts_with("-") ? "unknown option " : "unexpected argument ") + Quote(arg);
    }
    std::string_view key = arg.substr(2);
    std::optional<std::string_view> value;
    const std::size_t equals = key.find('=');
    if (equals != std::string_view::npos) {
      value = key.substr(equals + 1);
      key = key.substr(0, equals);
    }
    if (IsFlag(key)) {
      if (value) return "option --" + std::string(key) + " takes no value";
    } else if (!TakesValue(key)) {
      return "unknown option " + Quote(arg);
    } else if (!value) {
      if (i + 1 >= args.size()) return "option --" + std::string(key) + " needs a value";
      value = args[++i];
    }
    if (auto error = ApplySetting(key, value, settings)) return error;
    any_user_given = any_user_given || key == "listen-any-user";
    rotation_given = rotation_given || key == "log-max-size" || key == "log-keep";
    keep_given = keep_given || key == "log-keep";
    if (!choice.Take(key))
      return "--replay and --source exclude each other (a replay is the source)";
  }
  if (choice.replay_options && settings.source != SourceKind::kReplay) {
    return "--loop and --speed need --replay";
  }
  if (any_user_given && !settings.listen) return "--listen-any-user needs --listen";
  if (rotation_given && settings.log_path.empty()) {
    return "--log-max-size and --log-keep need --log";
  }
  if (keep_given && settings.log_max_size == 0) return "--log-keep needs --log-max-size";
  if (settings.json && !settings.status) return "--json needs --status";
  if (settings.status + settings.stop + settings.restart > 1) {
    return "--status, --stop and --restart exclude each other";
  }
  return std::nullopt;
}

std::string SettingsFilePath(const char* xdg_config_home, const char* home) {
  std::string base;
  if (xdg_config_home && *xdg_config_home == '/') {
    base = xdg_config_home;
  } else if (home && *home) {
    base = std::string(home) + "/.config";
  } else {
    return {};
  }
  return base + "/zelk/zelk_tran.conf";
}

std::string UsageText() {
  return "Usage: zelk_tran [OPTION]...\n"
         "Hosts the pelmo bus and bridges it to a CAN bus.\n"
         "Without options it reads $XDG_CONFIG_HOME/zelk/zelk_tran.conf (if present) and runs\n"
         "in the background; options override the file.\n"
         "\n"
         "  --bus PATH          serve the bus at PATH (default: $PELMO_BUS, else\n"
         "                      $XDG_RUNTIME_DIR/pelmo/bus, else /tmp/pelmo-UID/bus)\n"
         "  --source SOURCE     virtual (default), socketcan:IFACE or\n"
         "                      socketcand:HOST:PORT:CHANNEL\n"
         "  --listen [ADDR:]PORT  also serve the bus as a socketcand daemon (raw mode);\n"
         "                      loopback unless ADDR is given (0.0.0.0 for all); on\n"
         "                      loopback it serves only clients of this user\n"
         "  --listen-any-user   serve socketcand clients of every local user too\n"
         "                      (other addresses serve anyone: socketcand has no login)\n"
         "  --hardware-time     with socketcan: frames carry the adapter's own receive\n"
         "                      time where the driver gives one (as candump -H)\n"
         "  --log FILE          append every frame to FILE in candump -l format; SIGHUP\n"
         "                      opens FILE anew (after logrotate renamed it)\n"
         "  --log-max-size SIZE  rotate the log before it grows past SIZE bytes (k, M, G:\n"
         "                      KiB, MiB, GiB; at least 4k): FILE.1, FILE.2, ...\n"
         "  --log-keep N        keep N rotated files (default 5)\n"
         "  --generate RATE     put RATE generated frames per second on the bus\n"
         "  --replay FILE       play a candump -l log onto the bus instead of a CAN source\n"
         "  --loop              start the replay again at the end of the log\n"
         "  --speed X           replay time scale: 2 twice as fast; 0 as fast as the\n"
         "                      clients take the frames, losing none (default 1)\n"
         "  --foreground        stay in the foreground, errors on stderr\n"
         "  --status [--json]   show what the companion serving the bus is doing, and exit\n"
         "                      (1 when none serves it); --json for scripts\n"
         "  --stop              ask the companion serving the bus to end, and wait for it\n"
         "  --restart           stop it, then start with the current settings\n"
         "  --help              show this help\n"
         "  --version           show the version\n";
}

std::string DescribeServing(const TranSettings& settings) {
  const auto absolute = [](const std::string& path) {
    std::error_code ignored;
    return path.empty() || path.front() == '/' ? path
                                               : std::filesystem::absolute(path, ignored).string();
  };
  std::string text = "source " + DescribeSource(settings);
  if (settings.source == SourceKind::kReplay) {
    text = "source replay:" + absolute(settings.replay_path);
    if (settings.replay_loop) text += ", loop";
    if (settings.replay_speed != 1.0) {
      std::ostringstream speed;
      speed << settings.replay_speed;
      text += ", speed " + speed.str();
    }
  }
  if (settings.hardware_time) text += ", hardware time";
  if (settings.generate_rate > 0) {
    text += ", generating " + std::to_string(settings.generate_rate) + " frames/s";
  }
  if (settings.listen) {
    text += ", socketcand on " + settings.listen_address + ":" +
            (settings.listen_port ? std::to_string(settings.listen_port) : std::string("any port"));
    if (settings.listen_any_user) text += " for every user";
  }
  if (!settings.log_path.empty()) {
    text += ", log " + absolute(settings.log_path);
    if (settings.log_max_size > 0) {
      text += " rotated at " + std::to_string(settings.log_max_size) + " bytes, " +
              std::to_string(settings.log_keep) + " kept";
    }
  }
  return text;
}

std::string DescribeSource(const TranSettings& settings) {
  switch (settings.source) {
    case SourceKind::kSocketcan:
      return "socketcan:" + settings.iface;
    case SourceKind::kSocketcand:
      return "socketcand:" + settings.remote_host + ":" + std::to_string(settings.remote_port) +
             ":" + settings.remote_channel;
    case SourceKind::kReplay:
      return "replay:" + settings.replay_path;
    case SourceKind::kVirtual:
      break;
  }
  return "virtual";
}

}  // namespace tran
