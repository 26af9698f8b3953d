// Command-line parsing of the headless bus tools, kept apart from the bus so it is testable.
//
//   zelk_dump -f 7FF -n 10      -> filter "7FF", stop after 10 shown lines
//   zelk_dump -f12345           -> error: the filter holds at most 4 characters
//   zelk_send -r 3 -i 100 "123 45" "115599 00 22"  -> both lines, three times, 100 ms apart
//   zelk_send -- "7FF"          -> "--" ends the options
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tools {

// The monitor's filter box and send box hold at most this many characters.
inline constexpr std::size_t kMaxFilterChars = 4;
inline constexpr std::size_t kMaxSendLineChars = 32;

enum class ParseStatus { kRun, kHelp, kError };

struct DumpOptions {
  std::string filter_text;  // empty: every frame is shown
  std::uint64_t count = 0;  // lines to show before exiting; 0: until a signal
};

struct SendOptions {
  std::uint64_t repeat = 1;        // times the whole set of lines is sent
  std::uint32_t interval_ms = 0;   // pause between two sends
  std::vector<std::string> lines;  // at least one
};

template <typename Options>
struct Parsed {
  ParseStatus status = ParseStatus::kRun;
  Options options;
  std::string error;  // names the bad item when status is kError
};

Parsed<DumpOptions> ParseDumpArgs(const std::vector<std::string_view>& args);
Parsed<SendOptions> ParseSendArgs(const std::vector<std::string_view>& args);

// A whole decimal number within [min, max]; nullopt for anything else (sign, space, overflow).
std::optional<std::uint64_t> ParseDecimal(std::string_view text, std::uint64_t min,
                                          std::uint64_t max);

extern const char kDumpUsage[];
extern const char kSendUsage[];

}  // namespace tools
