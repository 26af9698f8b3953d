// zelk_tran: hosts the pelmo bus and bridges it to a CAN bus (see --help).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tran/core/companion.h"
#include "tran/core/daemon.h"
#include "tran/core/settings.h"
#include "tran/core/status_query.h"

namespace {

constexpr int kUsageError = 2;
// A configuration file larger than this is not a configuration file.
constexpr std::uintmax_t kMaxSettingsFileBytes = 64 * 1024;

int UsageError(const std::string& message) {
  std::fprintf(stderr, "zelk_tran: %s\nTry 'zelk_tran --help'.\n", message.c_str());
  return kUsageError;
}

// Relative to the folder the companion was started in, also once it works from "/".
std::string Absolute(const std::string& path) {
  static const std::filesystem::path start = [] {
    std::error_code ignored;
    return std::filesystem::current_path(ignored);
  }();
  if (path.empty() || path.front() == '/') return path;
  return (start / path).lexically_normal().string();
}

// The settings file (when there is one) with the command line over it. The error names the
// file and line, or the bad option (status: kUsageError both).
std::optional<tran::TranSettings> ReadSettings(const std::string& file,
                                               const std::vector<std::string_view>& args,
                                               std::string* error) {
  tran::TranSettings settings;
  std::error_code ec;
  if (!file.empty() && std::filesystem::is_regular_file(file, ec)) {
    if (std::filesystem::file_size(file, ec) > kMaxSettingsFileBytes) {
      *error = file + ": too large for a settings file";
      return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
      *error = file + ": cannot read";
      return std::nullopt;
    }
    if (auto bad = tran::ParseSettingsText(text.str(), settings)) {
      *error = file + ": " + *bad;
      return std::nullopt;
    }
  }
  if (auto bad = tran::ParseArguments(args, settings)) {
    *error = *bad;
    return std::nullopt;
  }
  return settings;
}

void MakePathsAbsolute(tran::TranSettings& settings) {
  settings.bus_path = Absolute(settings.bus_path);
  settings.log_path = Absolute(settings.log_path);
  settings.replay_path = Absolute(settings.replay_path);
}

}  // namespace

int main(int argc, char** argv) {
  Absolute("");  // remembers the folder started in
  const std::string file =
      tran::SettingsFilePath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  std::string error;
  std::optional<tran::TranSettings> read = ReadSettings(file, args, &error);
  if (!read) return UsageError(error);
  tran::TranSettings settings = *read;
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
  // The background process works from "/": resolve relative paths first, now and on reloads.
  if (detach) MakePathsAbsolute(settings);
  tran::SettingsFile reload;
  reload.path = file;
  reload.reread = [file, args, detach](std::string* why) {
    auto again = ReadSettings(file, args, why);
    if (again && detach) MakePathsAbsolute(*again);
    return again;
  };
  if (detach) tran::DetachIntoBackground();
  return tran::RunCompanion(settings, detach, tran::ReportStartStatus, reload);
}
