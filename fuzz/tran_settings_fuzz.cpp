// Fuzzes the settings file parser. Invariants: an accepted file yields consistent settings
// (a source or a replay with its fields, a rate and a speed in range), and an error always
// names a line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tran/core/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tran::TranSettings settings;
  const auto error = tran::ParseSettingsText(text, settings);
  if (error) {
    if (!error->starts_with("line ")) std::abort();
    return 0;
  }
  if (settings.generate_rate > tran::kMaxGenerateRate) std::abort();
  switch (settings.source) {
    case tran::SourceKind::kSocketcan:
      if (settings.iface.empty() || settings.iface.size() > 15) std::abort();
      break;
    case tran::SourceKind::kSocketcand:
      if (settings.remote_host.empty() || settings.remote_port == 0 ||
          settings.remote_channel.empty()) {
        std::abort();
      }
      break;
    case tran::SourceKind::kReplay:
      if (settings.replay_path.empty()) std::abort();
      break;
    case tran::SourceKind::kVirtual:
      break;
  }
  if (settings.replay_speed < 0 || settings.replay_speed > tran::kMaxReplaySpeed) std::abort();
  if (settings.listen && settings.listen_address.empty()) std::abort();
  // What the file accepted, the command line accepts too, to the same effect.
  tran::TranSettings again;
  const std::string source = tran::DescribeSource(settings);
  const bool replay = settings.source == tran::SourceKind::kReplay;
  const std::string_view args[] = {replay ? "--replay" : "--source",
                                   replay ? std::string_view(settings.replay_path) : source};
  if (tran::ParseArguments(args, again) || tran::DescribeSource(again) != source) std::abort();
  return 0;
}
