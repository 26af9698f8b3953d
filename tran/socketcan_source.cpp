// A raw CAN socket (PF_CAN, SOCK_RAW, CAN_RAW) bound to one interface. The kernel's receive
// queue drop counter arrives with each frame (SO_RXQ_OVFL) and is reported as rx_overflow.
// Own frames are not received back (CAN_RAW_RECV_OWN_MSGS stays off): the bridge echoes what
// the kernel accepted, and the kernel's loopback shows them to other sockets on the host.
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "frame/can_frame_conv.h"
#include "tran/can_source.h"
#include "tran/report.h"

namespace tran {

namespace {

// Frames read per wake-up before the loop serves its other sockets.
constexpr int kMaxReadsPerWake = 256;

class SocketcanSource final : public CanSource {
 public:
  explicit SocketcanSource(std::string iface) : iface_(std::move(iface)) {}
  ~SocketcanSource() override { Stop(); }

  bool Start(EventLoop& loop, ReceiveFn on_receive, std::string* error) override {
    const auto fail = [&](const std::string& what) {
      if (error) *error = what + " (" + iface_ + "): " + std::strerror(errno);
      if (fd_ >= 0) ::close(fd_);
      fd_ = -1;
      return false;
    };
    fd_ = ::socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
    if (fd_ < 0) return fail("cannot open a CAN socket");
    ifreq request{};
    std::strncpy(request.ifr_name, iface_.c_str(), IFNAMSIZ - 1);
    if (::ioctl(fd_, SIOCGIFINDEX, &request) < 0) return fail("no such CAN interface");
    const int on = 1;
    if (::setsockopt(fd_, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) < 0) {
      return fail("cannot enable the drop counter");
    }
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = request.ifr_ifindex;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
      return fail("cannot bind the CAN socket");
    }
    loop_ = &loop;
    on_receive_ = std::move(on_receive);
    loop.Watch(fd_, POLLIN, [this](short revents) { OnReadable(revents); });
    return true;
  }

  void Stop() override {
    if (fd_ < 0) return;
    if (loop_) {
      loop_->Unwatch(fd_);
      if (pause_timer_) loop_->CancelTimer(pause_timer_);
    }
    ::close(fd_);
    fd_ = -1;
  }

  std::size_t Transmit(std::span<const frame::FrameRecord> records) override {
    std::size_t sent = 0;
    for (; fd_ >= 0 && sent < records.size(); ++sent) {
      const can_frame out = frame::ToCanFrame(records[sent]);
      const ssize_t n = ::write(fd_, &out, sizeof out);
      if (n == static_cast<ssize_t>(sizeof out)) continue;
      if (n < 0 && errno == EINTR) {
        --sent;
        continue;
      }
      // ENOBUFS/EAGAIN: the interface queue is full; the rest of the batch is dropped.
      if (n < 0 && errno != ENOBUFS && errno != EAGAIN) ReportWriteError(errno);
      break;
    }
    counters_.tx_dropped += records.size() - sent;
    return sent;
  }

  SourceCounters Counters() const override { return counters_; }
  std::string LogName() const override { return iface_; }

 private:
  void OnReadable(short revents) {
    if ((revents & (POLLIN | POLLERR | POLLHUP)) == 0) return;
    batch_.clear();
    for (int i = 0; i < kMaxReadsPerWake; ++i) {
      can_frame in;
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint32_t))];
      iovec vec{&in, sizeof in};
      msghdr message{};
      message.msg_iov = &vec;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      const ssize_t n = ::recvmsg(fd_, &message, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
          // A lasting error (interface down or removed) must not spin the loop: look again
          // in a second.
          ReportReadError(errno);
          PauseReading();
        }
        break;
      }
      last_read_error_ = 0;
      ReadDropCounter(message);
      if (n != static_cast<ssize_t>(sizeof in)) {
        ++counters_.rx_malformed;
        continue;
      }
      // Remote and error frames have no record form and are skipped.
      if (const auto record = frame::FromCanFrame(in, 0)) batch_.push_back(*record);
    }
    if (!batch_.empty()) on_receive_(batch_);
  }

  void PauseReading() {
    loop_->Unwatch(fd_);
    pause_timer_ = loop_->AddTimer(EventLoop::Clock::now() + std::chrono::seconds(1), [this] {
      pause_timer_ = 0;
      if (fd_ >= 0) loop_->Watch(fd_, POLLIN, [this](short revents) { OnReadable(revents); });
    });
  }

  void ReadDropCounter(msghdr& message) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL &&
          c->cmsg_len >= CMSG_LEN(sizeof(std::uint32_t))) {
        std::uint32_t dropped;
        std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
        // The kernel's counter is cumulative for the socket (and wraps at 32 bits).
        counters_.rx_overflow += static_cast<std::uint32_t>(dropped - last_kernel_drops_);
        last_kernel_drops_ = dropped;
      }
    }
  }

  void ReportReadError(int error) {
    if (error == last_read_error_) return;  // once per distinct error, not per wake-up
    last_read_error_ = error;
    ReportError("read from " + iface_ + " failed: " + std::strerror(error));
  }
  void ReportWriteError(int error) {
    if (error == last_write_error_) return;
    last_write_error_ = error;
    ReportError("write to " + iface_ + " failed: " + std::strerror(error));
  }

  std::string iface_;
  int fd_ = -1;
  EventLoop* loop_ = nullptr;
  ReceiveFn on_receive_;
  std::vector<frame::FrameRecord> batch_;
  SourceCounters counters_;
  std::uint32_t last_kernel_drops_ = 0;
  int last_read_error_ = 0;
  int last_write_error_ = 0;
  std::uint64_t pause_timer_ = 0;
};

}  // namespace

std::unique_ptr<CanSource> MakeSocketcanSource(std::string iface) {
  return std::make_unique<SocketcanSource>(std::move(iface));
}

}  // namespace tran
