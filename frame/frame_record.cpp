#include "frame/frame_record.h"

#include <algorithm>

namespace frame {

namespace {

constexpr std::size_t kIdWordOffset = 8;
constexpr std::size_t kFlagsOffset = 13;
constexpr std::size_t kTimestampOffset = 14;

}  // namespace

DecodedRecord DecodeRecord(const std::uint8_t* record) noexcept {
  DecodedRecord out;
  const std::uint32_t id_word = static_cast<std::uint32_t>(record[kIdWordOffset]) |
                                static_cast<std::uint32_t>(record[kIdWordOffset + 1]) << 8 |
                                static_cast<std::uint32_t>(record[kIdWordOffset + 2]) << 16 |
                                static_cast<std::uint32_t>(record[kIdWordOffset + 3]) << 24;
  const std::uint8_t flags = record[kFlagsOffset];
  out.extended = (flags & kExtendedFlag) != 0;
  // The shift covers the whole word: a standard record with stray bits in bytes 10..11
  // yields an identifier wider than 11 bits, as the peer wrote it.
  out.identifier = out.extended ? id_word >> 3 : id_word >> 5;
  out.length_code = flags & kLengthMask;
  out.shown_length = std::min(out.length_code, kMaxShownLength);
  out.timestamp =
      static_cast<std::uint16_t>(record[kTimestampOffset] | record[kTimestampOffset + 1] << 8);
  out.data = record;
  return out;
}

FrameRecord MakeRecord(std::uint32_t identifier, bool extended, const std::uint8_t* data,
                       std::uint8_t length_code, std::uint16_t timestamp) noexcept {
  FrameRecord rec{};
  length_code &= kLengthMask;
  const std::uint8_t copied = std::min(length_code, kMaxShownLength);
  if (data != nullptr) std::copy_n(data, copied, rec.begin());

  const std::uint32_t id_word =
      extended ? (identifier & kMaxExtendedId) << 3 : (identifier & kMaxStandardId) << 5;
  rec[kIdWordOffset] = static_cast<std::uint8_t>(id_word);
  rec[kIdWordOffset + 1] = static_cast<std::uint8_t>(id_word >> 8);
  rec[kIdWordOffset + 2] = static_cast<std::uint8_t>(id_word >> 16);
  rec[kIdWordOffset + 3] = static_cast<std::uint8_t>(id_word >> 24);
  rec[kFlagsOffset] = static_cast<std::uint8_t>(length_code | (extended ? kExtendedFlag : 0));
  rec[kTimestampOffset] = static_cast<std::uint8_t>(timestamp);
  rec[kTimestampOffset + 1] = static_cast<std::uint8_t>(timestamp >> 8);
  return rec;
}

}  // namespace frame
