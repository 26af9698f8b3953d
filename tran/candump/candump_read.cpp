// Reading candump -l lines back (the examples are in candump_log.h).
#include <optional>

#include "tran/base/hex_text.h"
#include "tran/candump/candump_log.h"

namespace tran {

namespace {

constexpr std::uint32_t kCanErrFlag = 0x20000000;  // linux/can.h CAN_ERR_FLAG
constexpr std::size_t kMaxSecondsDigits = 12;
constexpr std::size_t kMaxFractionDigits = 9;
constexpr std::size_t kMaxIfaceLength = 64;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Splits off the next run of non-blank characters.
std::string_view NextToken(std::string_view& rest) {
  while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
  std::size_t end = 0;
  while (end < rest.size() && !IsBlank(rest[end])) ++end;
  const std::string_view token = rest.substr(0, end);
  rest.remove_prefix(end);
  return token;
}

std::optional<std::int64_t> ParseDecimal(std::string_view digits, std::size_t max_digits) {
  if (digits.empty() || digits.size() > max_digits) return std::nullopt;
  std::int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// "(SECONDS.FRACTION)" in microseconds; digits past the sixth fraction digit are dropped.
std::optional<std::int64_t> ParseTime(std::string_view token) {
  if (token.size() < 5 || token.front() != '(' || token.back() != ')') return std::nullopt;
  token = token.substr(1, token.size() - 2);
  const std::size_t dot = token.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const auto seconds = ParseDecimal(token.substr(0, dot), kMaxSecondsDigits);
  std::string_view fraction = token.substr(dot + 1);
  if (!seconds || !ParseDecimal(fraction, kMaxFractionDigits)) return std::nullopt;
  std::int64_t micros = 0;
  for (std::size_t i = 0; i < 6; ++i)
    micros = micros * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
  return *seconds * 1'000'000 + micros;
}

CandumpLineKind ParseFrame(std::string_view text, CandumpEntry& entry) {
  const std::size_t hash = text.find('#');
  if (hash != 3 && hash != 8) return CandumpLineKind::kMalformed;
  const auto id = ParseHexToken(text.substr(0, hash), hash);
  if (!id) return CandumpLineKind::kMalformed;
  const bool extended = hash == 8;
  if (extended && (*id & kCanErrFlag)) return CandumpLineKind::kErrorFrame;
  if (*id > (extended ? frame::kMaxExtendedId : frame::kMaxStandardId)) {
    return CandumpLineKind::kMalformed;
  }
  std::string_view data = text.substr(hash + 1);
  if (!data.empty() && data.front() == '#') return CandumpLineKind::kCanFd;
  if (!data.empty() && (data.front() == 'R' || data.front() == 'r'))
    return CandumpLineKind::kRemote;

  std::uint8_t bytes[frame::kMaxShownLength] = {};
  std::uint8_t length = 0;
  while (!data.empty() && data.front() != '_') {
    if (data.front() == '.' && length > 0) {
      data.remove_prefix(1);  // can-utils allows a dot between bytes
      continue;
    }
    if (data.size() < 2 || length == frame::kMaxShownLength) return CandumpLineKind::kMalformed;
    const auto byte = ParseHexToken(data.substr(0, 2), 2);
    if (!byte) return CandumpLineKind::kMalformed;
    bytes[length++] = static_cast<std::uint8_t>(*byte);
    data.remove_prefix(2);
  }
  std::uint8_t length_code = length;
  if (!data.empty()) {
    // "_C": eight data bytes sent with a length code of 9..15.
    const auto code = data.size() == 2 ? ParseHexToken(data.substr(1), 1) : std::nullopt;
    if (length != frame::kMaxShownLength || !code || *code < 9) return CandumpLineKind::kMalformed;
    length_code = static_cast<std::uint8_t>(*code);
  }
  entry.record = frame::MakeRecord(*id, extended, bytes, length_code, 0);
  return CandumpLineKind::kFrame;
}

}  // namespace

CandumpLineKind ParseCandumpLine(std::string_view line, CandumpEntry& entry) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::string_view rest = line;
  const std::string_view time_text = NextToken(rest);
  if (time_text.empty()) return CandumpLineKind::kBlank;
  const std::string_view iface = NextToken(rest);
  const std::string_view frame_text = NextToken(rest);
  const std::string_view direction = NextToken(rest);
  if (!NextToken(rest).empty()) return CandumpLineKind::kMalformed;
  if (!direction.empty() && direction != "R" && direction != "T" && direction != "r" &&
      direction != "t") {
    return CandumpLineKind::kMalformed;
  }
  const auto time = ParseTime(time_text);
  if (!time || iface.empty() || iface.size() > kMaxIfaceLength) return CandumpLineKind::kMalformed;
  CandumpEntry parsed;
  const CandumpLineKind kind = ParseFrame(frame_text, parsed);
  if (kind == CandumpLineKind::kFrame) {
    parsed.time_us = *time;
    parsed.iface = iface;
    entry = parsed;
  }
  return kind;
}

const char* DescribeCandumpLineKind(CandumpLineKind kind) {
  switch (kind) {
    case CandumpLineKind::kFrame:
      return "frame";
    case CandumpLineKind::kBlank:
      return "blank line";
    case CandumpLineKind::kCanFd:
      return "CAN FD frame";
    case CandumpLineKind::kRemote:
      return "remote frame";
    case CandumpLineKind::kErrorFrame:
      return "error frame";
    case CandumpLineKind::kMalformed:
      break;
  }
  return "not a candump line";
}

}  // namespace tran
