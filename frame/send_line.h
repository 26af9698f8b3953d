// Encodes the text of the send box into a frame record.
//
//   "115599 00 22 99 00 00 11 33 33"
//                  -> extended 0x115599, 8 bytes, id word C8 AC 8A 00, byte 13 0x88
//   "7FF"          -> standard 0x7FF, no data, id word E0 FF 00 00
//   "0001"         -> extended 1 (an id text of 4+ characters is extended)
//   "123   45"     -> standard 0x123, one byte 0x45 (runs of spaces collapse)
//   "123 zz"       -> one byte 0x00 (a token without a hex prefix reads as 0)
//   "123\t45"      -> extended 0x123, no data (a tab is not a separator)
//   "123 1 2 3 4 5 6 7 8 9 A"
//                  -> eight bytes 01..08, the rest ignored
#pragma once

#include <string_view>

#include "frame/frame_record.h"

namespace frame {

// The caller's text is never changed. Bytes the encoder does not fill are zero.
FrameRecord EncodeSendLine(std::string_view line) noexcept;

}  // namespace frame
