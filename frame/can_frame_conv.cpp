#include "frame/can_frame_conv.h"

#include <algorithm>
#include <cstring>

namespace frame {

can_frame ToCanFrame(const FrameRecord& record) noexcept {
  const DecodedRecord rec = DecodeRecord(record.data());
  can_frame out;
  std::memset(&out, 0, sizeof out);
  out.can_id =
      rec.extended ? (rec.identifier & CAN_EFF_MASK) | CAN_EFF_FLAG : rec.identifier & CAN_SFF_MASK;
  out.len = rec.shown_length;
  // Length codes 9..15 carry 8 bytes; the code itself travels in len8_dlc.
  if (rec.length_code > CAN_MAX_DLEN) out.len8_dlc = rec.length_code;
  std::copy_n(rec.data, rec.shown_length, out.data);
  return out;
}

std::optional<FrameRecord> FromCanFrame(const can_frame& frame, std::uint16_t timestamp) noexcept {
  if ((frame.can_id & (CAN_RTR_FLAG | CAN_ERR_FLAG)) != 0) return std::nullopt;
  const bool extended = (frame.can_id & CAN_EFF_FLAG) != 0;
  const std::uint32_t identifier = frame.can_id & (extended ? CAN_EFF_MASK : CAN_SFF_MASK);
  // A driver never hands over len > 8, but a raw frame from elsewhere might.
  std::uint8_t length_code = std::min<std::uint8_t>(frame.len, CAN_MAX_DLEN);
  if (length_code == CAN_MAX_DLEN && frame.len8_dlc > CAN_MAX_DLEN &&
      frame.len8_dlc <= CAN_MAX_RAW_DLC) {
    length_code = frame.len8_dlc;
  }
  return MakeRecord(identifier, extended, frame.data, length_code, timestamp);
}

}  // namespace frame
