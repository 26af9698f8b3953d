// Hex-prefix reader shared by the send line and the ID filter.
//
//   "7FF"      -> 0x7FF
//   "1f zz"    -> 0x1F      (stops at the space)
//   "0x1F"     -> 0         (stops at the 'x')
//   " 12"      -> 0         (leading spaces are not skipped)
//   "123456789"-> 0x23456789 (unsigned 32-bit wrap: only the last eight digits count)
#pragma once

#include <cstdint>
#include <string_view>

namespace frame {

std::uint32_t ReadHex(std::string_view text) noexcept;

}  // namespace frame
