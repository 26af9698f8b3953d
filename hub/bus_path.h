// Where the bus socket lives, and the socket calls both ends share.
#pragma once

#include <string>

namespace pelmo {

// Creates the socket's directory (and missing parents) with mode 0700, then checks the final
// directory: a real directory (not a symlink), owned by this user, not group- or
// world-writable. False with a reason otherwise.
bool PrepareBusDirectory(const std::string& socket_path, std::string* error);

// True when the path fits in sockaddr_un.
bool BusPathFits(const std::string& socket_path);

// A non-blocking, close-on-exec SOCK_SEQPACKET socket connected to path: the fd, or -errno.
int ConnectBus(const std::string& socket_path);

// The uid of the peer of a connected Unix socket, or -1.
long PeerUid(int fd);

// Whether a client may trust the hub at the other end of a connected bus socket: the hub's
// process runs as this process's user, or as root (who can reach any user's bus anyway). A hub
// of another user could forge frames, so clients check it as D-Bus clients check their bus.
bool HubTrusted(int fd);

}  // namespace pelmo
