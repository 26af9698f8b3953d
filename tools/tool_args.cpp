#include "tools/tool_args.h"

#include <limits>

namespace tools {

const char kDumpUsage[] =
    "usage: zelk_dump [-f HEX] [-n COUNT]\n"
    "Prints every frame delivered on the bus as the monitor's log line, one per line.\n"
    "  -f HEX    show only this identifier (at most 4 characters, read as the monitor's\n"
    "            filter box reads it)\n"
    "  -n COUNT  exit after COUNT shown lines (default: run until SIGINT or SIGTERM)\n"
    "  --help    show this text\n"
    "The bus is at $PELMO_BUS, else $XDG_RUNTIME_DIR/pelmo/bus, else /tmp/pelmo-<uid>/bus.\n";

const char kSendUsage[] =
    "usage: zelk_send [-r COUNT] [-i MS] LINE...\n"
    "Encodes each LINE as the monitor's send box does and posts it on the bus.\n"
    "A LINE is an identifier and up to eight data bytes in hex, e.g. \"115599 00 22 99\"\n"
    "(an identifier of four or more characters is extended); at most 32 characters.\n"
    "  -r COUNT  send the whole set of lines COUNT times (default 1)\n"
    "  -i MS     wait MS milliseconds between two sends (default 0)\n"
    "  --help    show this text\n"
    "Returns once the hub has every frame; exits 1 if the hub takes no frame for 5 s or\n"
    "does not confirm receiving them.\n"
    "The bus is at $PELMO_BUS, else $XDG_RUNTIME_DIR/pelmo/bus, else /tmp/pelmo-<uid>/bus.\n";

namespace {

// Walks the arguments of one tool: options with a value ("-n 5" or "-n5"), "--help",
// "--" ending the options, and positional arguments.
class ArgWalker {
 public:
  explicit ArgWalker(const std::vector<std::string_view>& args) : args_(args) {}

  bool Done() const { return index_ >= args_.size(); }
  std::string_view Current() const { return args_[index_]; }
  bool OptionsEnded() const { return options_ended_; }
  void EndOptions() {
    options_ended_ = true;
    ++index_;
  }
  void Skip() { ++index_; }

  // Takes the value of the single-letter option at the current argument.
  std::optional<std::string_view> TakeValue() {
    const std::string_view arg = args_[index_++];
    if (arg.size() > 2) return arg.substr(2);
    if (Done()) return std::nullopt;
    return args_[index_++];
  }

 private:
  const std::vector<std::string_view>& args_;
  std::size_t index_ = 0;
  bool options_ended_ = false;
};

bool is_option(std::string_view arg) { return arg.size() > 1 && arg[0] == '-'; }

std::string quoted(std::string_view text) {
  // Built by appending: GCC 12 gives a false -Wrestrict on "'" + std::string(...) at -O3.
  std::string out;
  out.reserve(text.size() + 2);
  out.append(1, '\'').append(text).append(1, '\'');
  return out;
}

template <typename Options>
Parsed<Options> error(std::string message) {
  Parsed<Options> parsed;
  parsed.status = ParseStatus::kError;
  parsed.error = std::move(message);
  return parsed;
}

}  // namespace

std::optional<std::uint64_t> ParseDecimal(std::string_view text, std::uint64_t min,
                                          std::uint64_t max) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value < min || value > max) return std::nullopt;
  return value;
}

Parsed<DumpOptions> ParseDumpArgs(const std::vector<std::string_view>& args) {
  Parsed<DumpOptions> parsed;
  ArgWalker walk(args);
  while (!walk.Done()) {
    const std::string_view arg = walk.Current();
    if (arg == "--help" || arg == "-h") {
      parsed.status = ParseStatus::kHelp;
      return parsed;
    }
    if (arg.starts_with("-f")) {
      const auto value = walk.TakeValue();
      if (!value) return error<DumpOptions>("option -f needs a value (the identifier to show)");
      if (value->size() > kMaxFilterChars) {
        return error<DumpOptions>("filter " + quoted(*value) +
                                  " for -f is longer than 4 characters");
      }
      parsed.options.filter_text = std::string(*value);
    } else if (arg.starts_with("-n")) {
      const auto value = walk.TakeValue();
      if (!value) return error<DumpOptions>("option -n needs a value (a count of lines)");
      const auto count = ParseDecimal(*value, 1, std::numeric_limits<std::int64_t>::max());
      if (!count) {
        return error<DumpOptions>("count " + quoted(*value) +
                                  " for -n is not a whole number from 1 up");
      }
      parsed.options.count = *count;
    } else if (is_option(arg)) {
      return error<DumpOptions>("unknown option " + quoted(arg));
    } else {
      return error<DumpOptions>("unexpected argument " + quoted(arg));
    }
  }
  return parsed;
}

Parsed<SendOptions> ParseSendArgs(const std::vector<std::string_view>& args) {
  Parsed<SendOptions> parsed;
  ArgWalker walk(args);
  while (!walk.Done()) {
    const std::string_view arg = walk.Current();
    if (walk.OptionsEnded() || !is_option(arg)) {
      if (arg.size() > kMaxSendLineChars) {
        return error<SendOptions>("line " + quoted(arg) + " is longer than 32 characters");
      }
      parsed.options.lines.emplace_back(arg);
      walk.Skip();
    } else if (arg == "--") {
      walk.EndOptions();
    } else if (arg == "--help" || arg == "-h") {
      parsed.status = ParseStatus::kHelp;
      return parsed;
    } else if (arg.starts_with("-r")) {
      const auto value = walk.TakeValue();
      if (!value) return error<SendOptions>("option -r needs a value (a repeat count)");
      const auto count = ParseDecimal(*value, 1, std::numeric_limits<std::int64_t>::max());
      if (!count) {
        return error<SendOptions>("count " + quoted(*value) +
                                  " for -r is not a whole number from 1 up");
      }
      parsed.options.repeat = *count;
    } else if (arg.starts_with("-i")) {
      const auto value = walk.TakeValue();
      if (!value) return error<SendOptions>("option -i needs a value (milliseconds)");
      const auto ms = ParseDecimal(*value, 0, std::numeric_limits<std::uint32_t>::max());
      if (!ms) {
        return error<SendOptions>("interval " + quoted(*value) +
                                  " for -i is not a whole number of milliseconds");
      }
      parsed.options.interval_ms = static_cast<std::uint32_t>(*ms);
    } else {
      return error<SendOptions>("unknown option " + quoted(arg));
    }
  }
  if (parsed.options.lines.empty()) return error<SendOptions>("no LINE to send");
  return parsed;
}

}  // namespace tools
