// The hub's wire protocol: one message per SOCK_SEQPACKET packet, a fixed 16-byte header
// followed by the payload. Integers are little-endian (the bus never leaves the host).
//
//   offset 0  u16 magic 0x6D70 ("pm")    offset 2  u8 version (1)   offset 3  u8 type
//   offset 4  u32 a                      offset 8  u32 b            offset 12 u32 payload length
//
// The meaning of a and b depends on the type; doc/bus-protocol.md lists every message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "pelmo.h"

namespace pelmo {

inline constexpr std::uint16_t kWireMagic = 0x6D70;
inline constexpr std::uint8_t kWireVersion = 1;
inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::size_t kMaxPayload = PM_MAX_BLOCK;
inline constexpr std::size_t kMaxMessage = kHeaderSize + kMaxPayload;

enum class MsgType : std::uint8_t {
  // client -> hub
  kRegister = 1,    // a = routing value, payload = name
  kUnregister = 2,  // no fields
  kPost = 3,        // a = code, payload = block
  kSetVar = 4,      // a = request id, b = value (int32 bits), payload = name
  kGetVar = 5,      // a = request id, payload = name
  kSetStr = 6,      // a = request id, b = name length, payload = name then value
  kGetStr = 7,      // a = request id, payload = name
  kQuery = 8,       // a = request id, payload = name of an answer the hub's host gives
  // hub -> client
  kDeliver = 16,  // a = code, payload = block
  kReply = 17,    // a = request id, b = 1 found/stored or 0, payload = int32 value or string
  kInfo = 18,     // a = registered clients, b = blocks dropped for this connection
  kError = 19,    // a = error code, payload = reason text; the hub closes the connection after it
  kAnswer = 20,   // a = request id, b = 1 answered or 0 (no such answer), payload = text
};

enum class WireError : std::uint32_t {
  kMalformed = 1,  // bad magic, version, type or length field
  kOversized = 2,  // packet larger than kMaxMessage
  kBadField = 3,   // a name or value out of bounds, or a message out of order
  kWrongPeer = 4,  // peer of another user
};

struct Message {
  MsgType type{};
  std::uint32_t a = 0;
  std::uint32_t b = 0;
  std::span<const std::uint8_t> payload;  // views the packet it was parsed from
};

// Writes header + payload into out (replacing its contents).
void EncodeMessage(MsgType type, std::uint32_t a, std::uint32_t b,
                   std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out);
std::vector<std::uint8_t> EncodeMessage(MsgType type, std::uint32_t a, std::uint32_t b,
                                        std::span<const std::uint8_t> payload = {});
// Two-part payload (name then value), for kSetStr.
std::vector<std::uint8_t> EncodeMessage(MsgType type, std::uint32_t a, std::uint32_t b,
                                        std::string_view first, std::string_view second);

// Parses one received packet: header well-formed, known type, length field equal to the bytes
// that followed, and the type's own bounds (name lengths, block size). nullopt otherwise.
std::optional<Message> ParseMessage(std::span<const std::uint8_t> packet);

inline std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}
inline std::string_view AsText(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace pelmo
