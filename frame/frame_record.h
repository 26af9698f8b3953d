// The 16-byte frame record that carries one CAN frame across the bus, in both directions.
//
// Layout (little-endian):
//   0..7   data bytes, only the first `length` carry data
//   8..11  id word: extended = id << 3, standard = id << 5 (bytes 10..11 zero)
//   12     unused, written as 0
//   13     bit 7 extended, bits 0..3 length code 0..15, bits 4..6 zero
//   14..15 timestamp in ms (received records only; differences taken modulo 65536)
//
// Examples:
//   ext 0x115599, 8 bytes 00 22 99 00 00 11 33 33:
//     00 22 99 00 00 11 33 33 | C8 AC 8A 00 | 00 | 88 | ts ts
//   std 0x7FF, no data: 00.. | E0 FF 00 00 | 00 | 00 | ts ts
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace frame {

inline constexpr std::size_t kRecordSize = 16;
inline constexpr std::uint32_t kMaxStandardId = 0x7FF;
inline constexpr std::uint32_t kMaxExtendedId = 0x1FFFFFFF;
inline constexpr std::uint8_t kExtendedFlag = 0x80;
inline constexpr std::uint8_t kLengthMask = 0x0F;
inline constexpr std::uint8_t kMaxShownLength = 8;

using FrameRecord = std::array<std::uint8_t, kRecordSize>;

// A record as the receive log reads it.
struct DecodedRecord {
  bool extended = false;
  std::uint32_t identifier = 0;
  std::uint8_t length_code = 0;   // bits 0..3 of byte 13, 0..15
  std::uint8_t shown_length = 0;  // length_code capped at 8
  std::uint16_t timestamp = 0;
  const std::uint8_t* data = nullptr;  // points into the decoded record
};

// Decodes the 16 bytes at `record`; the result's data pointer aliases them.
DecodedRecord DecodeRecord(const std::uint8_t* record) noexcept;

// Builds a record; identifier is masked to 11 or 29 bits, length_code to 0..15, unused bytes are 0.
// Copies min(length_code, 8) bytes from data (which may be null when that is 0).
FrameRecord MakeRecord(std::uint32_t identifier, bool extended, const std::uint8_t* data,
                       std::uint8_t length_code, std::uint16_t timestamp) noexcept;

}  // namespace frame
