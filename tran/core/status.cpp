#include "tran/core/status.h"

#include <cstdio>

namespace tran {

namespace {

std::string Uptime(std::chrono::steady_clock::duration up) {
  const auto total = std::chrono::duration_cast<std::chrono::seconds>(up).count();
  char text[64];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld h %02lld min %02lld s",
                  static_cast<long long>(total / 3600), static_cast<long long>(total / 60 % 60),
                  static_cast<long long>(total % 60));
  } else if (total >= 60) {
    std::snprintf(text, sizeof text, "%lld min %02lld s", static_cast<long long>(total / 60),
                  static_cast<long long>(total % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(total));
  }
  return text;
}

std::string Percent(std::uint64_t bits, std::uint32_t bitrate) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(bits) / bitrate);
  return text;
}

std::string Describe(const SourceStatus& status) {
  std::string text = status.link;
  if (status.state) {
    text += std::string(", ") + StateName(*status.state);
    if (status.counters) {
      text += " (tx errors " + std::to_string(status.counters->tx) + ", rx errors " +
              std::to_string(status.counters->rx) + ")";
    }
  }
  if (status.bitrate) text += ", " + std::to_string(*status.bitrate) + " bit/s";
  return text;
}

std::string Plural(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// JSON text of a string: quotes, backslashes and control characters escaped.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace

std::string FormatStatusText(const StatusSnapshot& s, const std::vector<pelmo::ClientView>& clients,
                             std::chrono::steady_clock::time_point now) {
  std::string out =
      s.version + ", pid " + std::to_string(s.pid) + ", up " + Uptime(now - s.started) + "\n";
  out += "bus:         " + s.bus_path + "\n";
  out += "source:      " + s.source + ", " + Describe(s.source_status) + "\n";
  out += "bus load:    ";
  if (s.source_status.bitrate) {
    out += Percent(s.bits_last_second, *s.source_status.bitrate) + " in the last second, peak " +
           Percent(s.peak_bits, *s.source_status.bitrate) + " (stuff bits not counted); ";
  }
  out += std::to_string(s.frames_last_second) + " frames/s, peak " + std::to_string(s.peak_frames) +
         (s.source_status.bitrate ? "" : " (the bitrate is not known)") + "\n";
  out += "frames:      " + std::to_string(s.received) + " received, " + std::to_string(s.sent) +
         " sent, " + std::to_string(s.held) + " held for CAN, " +
         std::to_string(s.not_transmitted) + " not transmitted\n";
  out += "drops:       " + std::to_string(s.rx_queue_drops) + " in the CAN receive queue, " +
         Plural(s.hub_blocks_dropped, "block", "blocks") + " for bus clients, " +
         Plural(s.socketcand_frames_dropped, "frame", "frames") + " for socketcand clients, " +
         std::to_string(s.log_frames_not_logged) + " not logged\n";
  out += "bus clients: " + std::to_string(clients.size()) + "\n";
  for (const auto& c : clients) {
    out += "  " + c.name + " (pid " + std::to_string(c.pid) + "): backlog " +
           Plural(c.backlog_blocks, "block", "blocks") + ", " + std::to_string(c.dropped_blocks) +
           " dropped\n";
  }
  out += "socketcand:  " +
         (s.listen.empty() ? std::string("off")
                           : s.listen + ", " + Plural(s.socketcand_clients, "client", "clients")) +
         "\n";
  out += "log:         " +
         (s.log_path.empty() ? std::string("off")
                             : s.log_path + ", " + std::to_string(s.log_bytes) + " bytes") +
         "\n";
  return out;
}

std::string FormatStatusJson(const StatusSnapshot& s, const std::vector<pelmo::ClientView>& clients,
                             std::chrono::steady_clock::time_point now) {
  const auto n = [](std::uint64_t value) { return std::to_string(value); };
  std::string out = "{";
  out += "\"version\":" + Quoted(s.version);
  out += ",\"pid\":" + std::to_string(s.pid);
  out += ",\"uptime_s\":" +
         n(static_cast<std::uint64_t>(
             std::chrono::duration_cast<std::chrono::seconds>(now - s.started).count()));
  out += ",\"bus\":" + Quoted(s.bus_path);
  out += ",\"source\":{\"name\":" + Quoted(s.source) + ",\"link\":" + Quoted(s.source_status.link);
  out += ",\"state\":" +
         (s.source_status.state ? Quoted(StateName(*s.source_status.state)) : std::string("null"));
  out += ",\"tx_errors\":" +
         (s.source_status.counters ? n(s.source_status.counters->tx) : std::string("null"));
  out += ",\"rx_errors\":" +
         (s.source_status.counters ? n(s.source_status.counters->rx) : std::string("null"));
  out += ",\"bitrate\":" +
         (s.source_status.bitrate ? n(*s.source_status.bitrate) : std::string("null")) + "}";
  out += ",\"load\":{\"frames_last_second\":" + n(s.frames_last_second) +
         ",\"bits_last_second\":" + n(s.bits_last_second) + ",\"peak_frames\":" + n(s.peak_frames) +
         ",\"peak_bits\":" + n(s.peak_bits) + "}";
  out += ",\"frames\":{\"received\":" + n(s.received) + ",\"sent\":" + n(s.sent) +
         ",\"held\":" + n(s.held) + ",\"not_transmitted\":" + n(s.not_transmitted) + "}";
  out += ",\"drops\":{\"can_receive_queue\":" + n(s.rx_queue_drops) +
         ",\"bus_client_blocks\":" + n(s.hub_blocks_dropped) +
         ",\"socketcand_frames\":" + n(s.socketcand_frames_dropped) +
         ",\"not_logged\":" + n(s.log_frames_not_logged) + "}";
  out += ",\"clients\":[";
  for (std::size_t i = 0; i < clients.size(); ++i) {
    const auto& c = clients[i];
    out += std::string(i ? "," : "") + "{\"name\":" + Quoted(c.name) +
           ",\"pid\":" + std::to_string(c.pid) + ",\"backlog_blocks\":" + n(c.backlog_blocks) +
           ",\"dropped_blocks\":" + n(c.dropped_blocks) + "}";
  }
  out += "]";
  out +=
      ",\"socketcand\":" + (s.listen.empty() ? std::string("null")
                                             : "{\"address\":" + Quoted(s.listen) +
                                                   ",\"clients\":" + n(s.socketcand_clients) + "}");
  out += ",\"log\":" + (s.log_path.empty() ? std::string("null")
                                           : "{\"path\":" + Quoted(s.log_path) +
                                                 ",\"bytes\":" + n(s.log_bytes) + "}");
  return out + "}\n";
}

}  // namespace tran
