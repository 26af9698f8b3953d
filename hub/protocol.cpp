#include "hub/protocol.h"

#include <bit>
#include <cstring>

namespace pelmo {

static_assert(std::endian::native == std::endian::little, "the wire format is little-endian");

namespace {

void PutHeader(std::uint8_t* out, MsgType type, std::uint32_t a, std::uint32_t b,
               std::uint32_t length) {
  const std::uint16_t magic = kWireMagic;
  std::memcpy(out, &magic, 2);
  out[2] = kWireVersion;
  out[3] = static_cast<std::uint8_t>(type);
  std::memcpy(out + 4, &a, 4);
  std::memcpy(out + 8, &b, 4);
  std::memcpy(out + 12, &length, 4);
}

std::uint32_t Get32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

bool IsName(std::size_t n) { return n >= 1 && n <= PM_MAX_NAME; }

// The per-type bounds of a message whose header is already known to be sound.
bool FieldsValid(const Message& m) {
  const std::size_t n = m.payload.size();
  switch (m.type) {
    case MsgType::kRegister:
      return n <= PM_MAX_NAME;
    case MsgType::kUnregister:
    case MsgType::kInfo:
      return n == 0;
    case MsgType::kPost:
    case MsgType::kDeliver:
      return n <= kMaxPayload;
    case MsgType::kSetVar:
    case MsgType::kGetVar:
    case MsgType::kGetStr:
    case MsgType::kQuery:
      return IsName(n);
    case MsgType::kSetStr:
      return IsName(m.b) && m.b <= n && n - m.b <= PM_MAX_STR;
    case MsgType::kReply:
    case MsgType::kError:
      return n <= PM_MAX_STR;
    case MsgType::kAnswer:
      return n <= kMaxPayload;
  }
  return false;
}

bool KnownType(std::uint8_t t) {
  return (t >= static_cast<std::uint8_t>(MsgType::kRegister) &&
          t <= static_cast<std::uint8_t>(MsgType::kQuery)) ||
         (t >= static_cast<std::uint8_t>(MsgType::kDeliver) &&
          t <= static_cast<std::uint8_t>(MsgType::kAnswer));
}

}  // namespace

void EncodeMessage(MsgType type, std::uint32_t a, std::uint32_t b,
                   std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out) {
  out.resize(kHeaderSize + payload.size());
  PutHeader(out.data(), type, a, b, static_cast<std::uint32_t>(payload.size()));
  if (!payload.empty()) std::memcpy(out.data() + kHeaderSize, payload.data(), payload.size());
}

std::vector<std::uint8_t> EncodeMessage(MsgType type, std::uint32_t a, std::uint32_t b,
                                        std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> out;
  EncodeMessage(type, a, b, payload, out);
  return out;
}

std::vector<std::uint8_t> EncodeMessage(MsgType type, std::uint32_t a, std::uint32_t b,
                                        std::string_view first, std::string_view second) {
  std::vector<std::uint8_t> out(kHeaderSize + first.size() + second.size());
  PutHeader(out.data(), type, a, b, static_cast<std::uint32_t>(first.size() + second.size()));
  if (!first.empty()) std::memcpy(out.data() + kHeaderSize, first.data(), first.size());
  if (!second.empty()) {
    std::memcpy(out.data() + kHeaderSize + first.size(), second.data(), second.size());
  }
  return out;
}

std::optional<Message> ParseMessage(std::span<const std::uint8_t> packet) {
  if (packet.size() < kHeaderSize || packet.size() > kMaxMessage) return std::nullopt;
  std::uint16_t magic;
  std::memcpy(&magic, packet.data(), 2);
  if (magic != kWireMagic || packet[2] != kWireVersion || !KnownType(packet[3])) {
    return std::nullopt;
  }
  const std::uint32_t length = Get32(packet.data() + 12);
  if (length != packet.size() - kHeaderSize) return std::nullopt;
  Message m;
  m.type = static_cast<MsgType>(packet[3]);
  m.a = Get32(packet.data() + 4);
  m.b = Get32(packet.data() + 8);
  m.payload = packet.subspan(kHeaderSize);
  if (!FieldsValid(m)) return std::nullopt;
  return m;
}

}  // namespace pelmo
