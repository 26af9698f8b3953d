// A bus end for flow-control tests: it accepts connections but reads only when told, like a hub
// that has stopped (SIGSTOP, a debugger). The kernel still takes packets into the socket until
// the sender's buffer is full; SocketCapacity measures how many, so a test can tell when the
// client library can write no more.
#pragma once

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "tests/hub/test_support.h"

namespace pelmo::testing {

class StalledHub {
 public:
  explicit StalledHub(const std::string& path) : path_(path) {
    listen_fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), std::min(path.size(), sizeof addr.sun_path - 1));
    if (::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 4) != 0) {
      ::close(listen_fd_);
      listen_fd_ = -1;
    }
  }
  ~StalledHub() {
    conn_.reset();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    ::unlink(path_.c_str());
  }

  bool ok() const { return listen_fd_ >= 0; }

  // Accepts the next connection (the one read from afterwards), waiting up to the deadline.
  bool Accept() {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(kDeadline.count())) <= 0) return false;
    conn_ = std::make_unique<RawClient>(::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC));
    return conn_->ok();
  }

  // How many packets of `packet_size` bytes a fresh connection to this end takes before its
  // sender would block, while nothing reads: measured on a connection of its own.
  std::size_t SocketCapacity(std::size_t packet_size) {
    const int fd = ConnectBus(path_);
    if (fd < 0) return 0;
    const std::vector<std::uint8_t> packet(packet_size, 0);
    std::size_t n = 0;
    while (::send(fd, packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) ++n;
    const bool full = errno == EAGAIN || errno == EWOULDBLOCK;
    ::close(fd);
    if (!Accept()) return 0;
    conn_.reset();
    return full ? n : 0;
  }

  // Bytes waiting, unread, in the accepted connection (all packets together).
  std::size_t PendingBytes() const {
    int bytes = 0;
    if (!conn_ || ::ioctl(conn_->fd(), SIOCINQ, &bytes) != 0) return 0;
    return static_cast<std::size_t>(bytes);
  }

  // The accepted connection, to read the client's messages from.
  RawClient& Connection() { return *conn_; }

 private:
  std::string path_;
  int listen_fd_ = -1;
  std::unique_ptr<RawClient> conn_;
};

}  // namespace pelmo::testing
