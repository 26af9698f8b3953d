#include "tran/socketcand/socket_owner.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tran {

namespace {

// One end of a TCP connection as inet_diag names it: addresses and port in network order.
struct Endpoint {
  std::uint8_t family = 0;
  std::uint32_t address[4] = {};
  std::uint16_t port = 0;
};

// IPv4-mapped IPv6 addresses (a dual-stack socket talking IPv4) are asked for as IPv4, the
// family under which the kernel keeps such connections.
bool ToEndpoint(const sockaddr_storage& storage, Endpoint& end) {
  if (storage.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(storage);
    end.family = AF_INET;
    std::memcpy(end.address, &v4.sin_addr, sizeof v4.sin_addr);
    end.port = v4.sin_port;
    return true;
  }
  if (storage.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(storage);
    end.port = v6.sin6_port;
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
      end.family = AF_INET;
      std::memcpy(end.address, v6.sin6_addr.s6_addr + 12, 4);
    } else {
      end.family = AF_INET6;
      std::memcpy(end.address, &v6.sin6_addr, sizeof v6.sin6_addr);
    }
    return true;
  }
  return false;
}

std::optional<uid_t> Fail(std::string* error, std::string why) {
  if (error) *error = std::move(why);
  return std::nullopt;
}

struct FdCloser {
  int fd;
  ~FdCloser() { ::close(fd); }
};

// NLMSG_OK, with the header's unsigned length compared to the remaining length once that is
// known not to be negative. The remaining length stays signed so that NLMSG_NEXT past the last
// message ends the walk instead of wrapping around.
bool MessageFits(const nlmsghdr* header, int length) {
  return length >= static_cast<int>(sizeof(nlmsghdr)) && header->nlmsg_len >= sizeof(nlmsghdr) &&
         header->nlmsg_len <= static_cast<unsigned>(length);
}

}  // namespace

bool IsLoopbackAddress(const std::string& address) {
  if (address == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, address.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

std::optional<uid_t> TcpPeerOwner(int fd, std::string* error) {
  sockaddr_storage peer_address{};
  sockaddr_storage local_address{};
  socklen_t peer_length = sizeof peer_address;
  socklen_t local_length = sizeof local_address;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer_address), &peer_length) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local_address), &local_length) != 0) {
    return Fail(error, std::string("not connected: ") + std::strerror(errno));
  }
  Endpoint peer;
  Endpoint local;
  if (!ToEndpoint(peer_address, peer) || !ToEndpoint(local_address, local) ||
      peer.family != local.family) {
    return Fail(error, "not a TCP/IP connection");
  }

  const int diag = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (diag < 0) return Fail(error, std::string("no sock_diag: ") + std::strerror(errno));
  FdCloser closer{diag};
  // The kernel answers before sendto returns; the timeout only guards against a kernel
  // that never does.
  const timeval limit{1, 0};
  ::setsockopt(diag, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

  // The peer's socket is the one whose source is the peer's end and whose destination is ours.
  struct {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = 1;
  request.body.sdiag_family = peer.family;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = ~0U;
  request.body.id.idiag_sport = peer.port;
  request.body.id.idiag_dport = local.port;
  std::memcpy(request.body.id.idiag_src, peer.address, sizeof peer.address);
  std::memcpy(request.body.id.idiag_dst, local.address, sizeof local.address);
  request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(diag, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) != static_cast<ssize_t>(sizeof request)) {
    return Fail(error, std::string("sock_diag: ") + std::strerror(errno));
  }

  alignas(nlmsghdr) char reply[8192];
  ssize_t n;
  do {
    n = ::recv(diag, reply, sizeof reply, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail(error, std::string("sock_diag: ") + std::strerror(errno));
  int length = static_cast<int>(n);
  for (auto* header = reinterpret_cast<nlmsghdr*>(reply); MessageFits(header, length);
       header = NLMSG_NEXT(header, length)) {
    if (header->nlmsg_type == NLMSG_ERROR) {
      const auto* failure = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
      // ENOENT: no socket on this machine has that end.
      return Fail(error, std::string("sock_diag: ") + std::strerror(-failure->error));
    }
    if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      continue;
    }
    const auto* entry = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
    if (entry->idiag_family != peer.family || entry->id.idiag_sport != peer.port ||
        std::memcmp(entry->id.idiag_src, peer.address, sizeof peer.address) != 0) {
      continue;
    }
    // No inode: the peer has closed its socket. What remains (TIME_WAIT, an orphan) reports
    // uid 0 or a uid no process holds any more, so it names nobody.
    if (entry->idiag_inode == 0) return Fail(error, "the peer had closed its socket already");
    return static_cast<uid_t>(entry->idiag_uid);
  }
  return Fail(error, "sock_diag: no answer for the peer's socket");
}

}  // namespace tran
