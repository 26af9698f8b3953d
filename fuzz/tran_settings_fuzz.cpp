// Fuzzes the settings file parser. Invariants: an accepted file yields consistent settings
// (a source with its fields, a rate in range), and an error always names a line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tran/settings.h"

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
    case tran::SourceKind::kVirtual:
      break;
  }
  if (settings.listen && settings.listen_address.empty()) std::abort();
  // What the file accepted, the command line accepts too, to the same effect.
  tran::TranSettings again;
  const std::string source = tran::DescribeSource(settings);
  const std::string_view args[] = {"--source", source};
  if (tran::ParseArguments(args, again) || tran::DescribeSource(again) != source) std::abort();
  return 0;
}
