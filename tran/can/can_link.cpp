#include "tran/can/can_link.h"

#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cstring>

namespace tran {

namespace {

// Attributes are walked by hand rather than with the RTA_* and NLMSG_* macros: their mixed
// signed and unsigned comparisons do not pass every compiler's warnings.
template <typename Fn>
void ForEachAttribute(std::span<const std::uint8_t> bytes, Fn&& fn) {
  std::size_t at = 0;
  while (at + sizeof(rtattr) <= bytes.size()) {
    rtattr header;
    std::memcpy(&header, bytes.data() + at, sizeof header);
    if (header.rta_len < sizeof(rtattr) || at + header.rta_len > bytes.size()) return;
    fn(header.rta_type & NLA_TYPE_MASK,
       bytes.subspan(at + RTA_ALIGN(sizeof(rtattr)), header.rta_len - RTA_ALIGN(sizeof(rtattr))));
    at += RTA_ALIGN(header.rta_len);
  }
}

template <typename T>
std::optional<T> Read(std::span<const std::uint8_t> payload) {
  if (payload.size() < sizeof(T)) return std::nullopt;
  T value;
  std::memcpy(&value, payload.data(), sizeof value);
  return value;
}

std::optional<ControllerState> StateFromKernel(std::uint32_t state) {
  switch (state) {
    case CAN_STATE_ERROR_ACTIVE:
      return ControllerState::kActive;
    case CAN_STATE_ERROR_WARNING:
      return ControllerState::kWarning;
    case CAN_STATE_ERROR_PASSIVE:
      return ControllerState::kPassive;
    case CAN_STATE_BUS_OFF:
      return ControllerState::kBusOff;
    case CAN_STATE_STOPPED:
    case CAN_STATE_SLEEPING:
      return ControllerState::kStopped;
    default:
      return std::nullopt;
  }
}

void ReadCanData(std::span<const std::uint8_t> data, CanLinkInfo& info) {
  ForEachAttribute(data, [&](unsigned type, std::span<const std::uint8_t> payload) {
    if (type == IFLA_CAN_STATE) {
      if (const auto state = Read<std::uint32_t>(payload)) info.state = StateFromKernel(*state);
    } else if (type == IFLA_CAN_BERR_COUNTER) {
      if (const auto counter = Read<can_berr_counter>(payload)) {
        info.counters = ErrorCounters{counter->txerr, counter->rxerr};
      }
    } else if (type == IFLA_CAN_BITTIMING) {
      if (const auto timing = Read<can_bittiming>(payload); timing && timing->bitrate != 0) {
        info.bitrate = timing->bitrate;
      }
    }
  });
}

}  // namespace

std::optional<CanLinkInfo> ParseLinkAnswer(std::span<const std::uint8_t> bytes) {
  std::size_t at = 0;
  while (at + sizeof(nlmsghdr) <= bytes.size()) {
    nlmsghdr header;
    std::memcpy(&header, bytes.data() + at, sizeof header);
    if (header.nlmsg_len < sizeof(nlmsghdr) || at + header.nlmsg_len > bytes.size()) break;
    const auto body = bytes.subspan(at + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
    if (header.nlmsg_type == RTM_NEWLINK && body.size() >= sizeof(ifinfomsg)) {
      ifinfomsg link;
      std::memcpy(&link, body.data(), sizeof link);
      CanLinkInfo info;
      info.up = (link.ifi_flags & IFF_UP) != 0;
      ForEachAttribute(body.subspan(NLMSG_ALIGN(sizeof(ifinfomsg))),
                       [&](unsigned type, std::span<const std::uint8_t> payload) {
                         if (type != IFLA_LINKINFO) return;
                         ForEachAttribute(payload, [&](unsigned kind, auto data) {
                           if (kind == IFLA_INFO_DATA) ReadCanData(data, info);
                         });
                       });
      return info;
    }
    if (header.nlmsg_type == NLMSG_ERROR || header.nlmsg_type == NLMSG_DONE) break;
    at += NLMSG_ALIGN(header.nlmsg_len);
  }
  return std::nullopt;
}

std::optional<CanLinkInfo> QueryCanLink(int index) {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return std::nullopt;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  // The kernel answers at once; the time-out only guards against a kernel that never does.
  const timeval wait{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  struct {
    nlmsghdr header;
    ifinfomsg link;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = 1;
  request.link.ifi_family = AF_UNSPEC;
  request.link.ifi_index = index;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0) {
    return std::nullopt;
  }
  std::array<std::uint8_t, 16384> answer;
  const ssize_t n = ::recv(fd, answer.data(), answer.size(), 0);
  if (n <= 0) return std::nullopt;
  return ParseLinkAnswer(std::span(answer.data(), static_cast<std::size_t>(n)));
}

}  // namespace tran
