// Small hex helpers shared by the text formats.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tran {

inline constexpr char kUpperHex[] = "0123456789ABCDEF";

// Appends `digits` uppercase hex digits of value.
inline void AppendHex(std::string& out, std::uint32_t value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
    out += kUpperHex[(value >> shift) & 0xF];
}

inline int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whole-token hex number of 1..max_digits digits; nullopt otherwise.
inline std::optional<std::uint32_t> ParseHexToken(std::string_view token, std::size_t max_digits) {
  if (token.empty() || token.size() > max_digits) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : token) {
    const int digit = HexDigitValue(c);
    if (digit < 0) return std::nullopt;
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  return value;
}

}  // namespace tran
