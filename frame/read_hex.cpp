#include "frame/read_hex.h"

namespace frame {

std::uint32_t ReadHex(std::string_view text) noexcept {
  std::uint32_t value = 0;
  for (const char c : text) {
    std::uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      break;  // any other character ends the number, including the end of a token
    }
    value = value * 16u + digit;  // unsigned wrap: only the last eight digits survive
  }
  return value;
}

}  // namespace frame
