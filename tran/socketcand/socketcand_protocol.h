// socketcand's raw-mode text protocol, as free functions with no sockets.
//
// Every message is "< ... >"; tokens are separated by spaces. Examples:
//   "< hi >"                          greeting sent by the server on connect
//   "< open vcan0 >"  -> "< ok >"     choose the channel
//   "< rawmode >"     -> "< ok >"     switch to frame streaming
//   "< echo >"        -> "< echo >"   liveness check
//   "< send 123 2 11 22 >"            standard id 0x123, two bytes 11 22
//   "< send 00000123 0 >"             extended id 0x123 (8-character id), no data
//   "< send 1FFFF 1 5 >"              extended (value above 0x7FF), one byte 05
//   "< frame 123 1700000000.000100 1122 >"  a frame, sent in raw mode
//   "< frame 0000ABCD 12.000000  >"         an extended frame with no data
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "frame/frame_record.h"

namespace tran {

// Pending input without a closing '>' beyond this many bytes marks a broken peer.
inline constexpr std::size_t kMaxPendingLine = 256;

// Cuts a TCP byte stream into "< ... >" messages. Bytes outside brackets are skipped.
class MessageSplitter {
 public:
  // Appends received bytes. Returns false once more than kMaxPendingLine bytes arrived
  // without a '>' (the peer should then be dropped).
  bool Append(std::string_view bytes);
  // The inner text of the next complete message (between '<' and '>'), or nullopt.
  std::optional<std::string> Next();

 private:
  std::string buffer_;
  std::size_t since_close_ = 0;  // bytes received since the last '>'
};

enum class CommandKind { kOpen, kRawmode, kEcho, kSend, kUnknown, kBad };

struct Command {
  CommandKind kind = CommandKind::kUnknown;
  std::string text;             // channel for kOpen, reason for kBad
  frame::FrameRecord record{};  // for kSend
};

// Parses the inner text of one client message, e.g. " send 123 2 11 22 ".
Command ParseCommand(std::string_view inner);

// Parses the inner text of a server's "< frame ID SEC.USEC DATA >" message. With time_us, also
// the frame's time in microseconds (a fraction of up to 9 digits; beyond 6 cut off), or
// nullopt when the time field does not hold one.
std::optional<frame::FrameRecord> ParseFrameMessage(std::string_view inner,
                                                    std::optional<std::int64_t>* time_us = nullptr);

// "< frame 123 1.000002 1122 >" (data empty for a 0-byte frame: two spaces before '>').
void AppendFrameMessage(std::string& out, const frame::FrameRecord& record, const timeval& time);
std::string FormatFrameMessage(const frame::FrameRecord& record, const timeval& time);

// "< send 123 2 11 22 >"; ids as 3 or 8 hex digits, so the extended flag survives.
std::string FormatSendMessage(const frame::FrameRecord& record);

// Parses an identifier token: extended when it has 8 characters or exceeds 0x7FF.
struct ParsedId {
  std::uint32_t value = 0;
  bool extended = false;
};
std::optional<ParsedId> ParseIdToken(std::string_view token);

}  // namespace tran
