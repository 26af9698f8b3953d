// zelk_tran: hosts the pelmo bus and bridges it to a CAN bus (see --help).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tran/companion.h"
#include "tran/daemon.h"
#include "tran/settings.h"
#include "tran/status_query.h"

namespace {

constexpr int kUsageError = 2;
// A configuration file larger than this is not a configuration file.
constexpr std::uintmax_t kMaxSettingsFileBytes = 64 * 1024;

int UsageError(const std::string& message) {
  std::fprintf(stderr, "zelk_tran: %s\nTry 'zelk_tran --help'.\n", message.c_str());
  return kUsageError;
}

std::string Absolute(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  std::error_code ignored;
  return std::filesystem::absolute(path, ignored).string();
}

}  // namespace

int main(int argc, char** argv) {
  tran::TranSettings settings;
  const std::string file =
      tran::SettingsFilePath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
  std::error_code ec;
  if (!file.empty() && std::filesystem::is_regular_file(file, ec)) {
    if (std::filesystem::file_size(file, ec) > kMaxSettingsFileBytes) {
      return UsageError(file + ": too large for a settings file");
    }
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) return UsageError(file + ": cannot read");
    if (auto error = tran::ParseSettingsText(text.str(), settings)) {
      return UsageError(file + ": " + *error);
    }
  }
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (auto error = tran::ParseArguments(args, settings)) return UsageError(*error);
  if (settings.help) {
    std::fputs(tran::UsageText().c_str(), stdout);
    return 0;
  }
  if (settings.version) {
    std::printf("%s\n", tran::kVersionText);
    return 0;
  }
  if (settings.status) return tran::QueryStatus(settings.bus_path, settings.json);
  if (settings.stop) return tran::StopCompanion(settings.bus_path, false);
  if (settings.restart && tran::StopCompanion(settings.bus_path, true) != 0) return 1;

  const bool detach = !settings.foreground;
  if (detach) {
    // The background process works from "/": resolve relative paths first.
    settings.bus_path = Absolute(settings.bus_path);
    settings.log_path = Absolute(settings.log_path);
    settings.replay_path = Absolute(settings.replay_path);
    tran::DetachIntoBackground();
  }
  return tran::RunCompanion(settings, detach, tran::ReportStartStatus);
}
