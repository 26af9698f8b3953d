// Who is at the other end of a TCP connection on this machine: the kernel's sock_diag
// interface (NETLINK_SOCK_DIAG, inet_diag) names the uid that owns the peer's socket.
//
//   TcpPeerOwner(fd)  for a connection from 127.0.0.1:40000 to our 127.0.0.1:29536: the uid
//                     of the socket whose local end is 127.0.0.1:40000
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tran {

// True for 127.0.0.0/8, ::1, ::ffff:127.0.0.0/104 and "localhost": only processes on this
// machine reach a socket listening there.
bool IsLoopbackAddress(const std::string& address);

// The uid owning the peer socket of the connected TCP socket fd, when that socket is on this
// machine and still open in some process. Otherwise nullopt, with the reason in *error: no
// sock_diag in the kernel, no such socket (a remote peer), or a peer that has closed already
// (the kernel no longer keeps its owner then).
std::optional<uid_t> TcpPeerOwner(int fd, std::string* error = nullptr);

}  // namespace tran
