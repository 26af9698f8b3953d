// A raw CAN socket (PF_CAN, SOCK_RAW, CAN_RAW) bound to one interface. The kernel's receive
// queue drop counter arrives with each frame (SO_RXQ_OVFL) and is reported as rx_overflow.
// Own frames are not received back (CAN_RAW_RECV_OWN_MSGS stays off): the bridge echoes what
// the kernel accepted, and the kernel's loopback shows them to other sockets on the host.
//
// Frames without a record form are read and counted, so that the companion can say what it
// ignored: remote frames, error frames (all error classes are subscribed) and CAN FD frames
// (CAN_RAW_FD_FRAMES is on; on a classic interface none arrive).
//
// Interface loss. The companion keeps serving the bus while the interface is away:
//   down     the socket stays bound; frames sent meanwhile fail and are counted in
//            tx_dropped; frames flow again as soon as the interface is up.
//   removed  the socket is closed (its binding died with the interface) and reopened by name
//            once an interface of that name exists again; it gets a new index.
// Each change is reported once ("vcan0 is down; ...", "vcan0 is up again"); while the link
// is lost, a one-second timer looks at the interface by name.
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
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
constexpr int kFramesPerCall = 64;
// The socket's receive queue, in bytes of the kernel's accounting (about 1 KiB a frame): room
// for a few thousand frames, so that a burst while the companion is busy elsewhere is held,
// not dropped. Beyond net.core.rmem_max only with CAP_NET_ADMIN; less is used otherwise.
constexpr int kReceiveBuffer = 4 << 20;
constexpr auto kLinkCheckPeriod = std::chrono::seconds(1);

// What the kernel says about an interface name right now; index 0: no such interface.
struct LinkInfo {
  int index = 0;
  bool up = false;
};

LinkInfo QueryLink(const std::string& name) {
  LinkInfo info;
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return info;
  ifreq request{};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  if (::ioctl(fd, SIOCGIFINDEX, &request) == 0) {
    info.index = request.ifr_ifindex;
    if (::ioctl(fd, SIOCGIFFLAGS, &request) == 0) info.up = (request.ifr_flags & IFF_UP) != 0;
  }
  ::close(fd);
  return info;
}

class SocketcanSource final : public CanSource {
 public:
  explicit SocketcanSource(std::string iface) : iface_(std::move(iface)) {}
  ~SocketcanSource() override { Stop(); }

  bool Start(EventLoop& loop, ReceiveFn on_receive, std::string* error) override {
    loop_ = &loop;
    on_receive_ = std::move(on_receive);
    if (!Open(error)) return false;
    if (!QueryLink(iface_).up) LinkLost(Link::kDown);
    return true;
  }

  void Stop() override {
    if (loop_) {
      if (pause_timer_) loop_->CancelTimer(pause_timer_);
      if (check_timer_) loop_->CancelTimer(check_timer_);
    }
    pause_timer_ = check_timer_ = 0;
    Close();
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
      if (n < 0 && !OnLinkError(errno) && errno != ENOBUFS && errno != EAGAIN) {
        ReportWriteError(errno);
      }
      break;
    }
    counters_.tx_dropped += records.size() - sent;
    return sent;
  }

  SourceCounters Counters() const override { return counters_; }
  std::string LogName() const override { return iface_; }

 private:
  enum class Link { kUp, kDown, kGone };

  // Opens, configures and binds the socket and watches it; the interface may be down.
  bool Open(std::string* error) {
    const auto fail = [&](const std::string& what) {
      if (error) *error = what + " (" + iface_ + "): " + std::strerror(errno);
      Close();
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
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) < 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    }
    // Only for counting what is ignored; a kernel without these options simply sends none.
    const can_err_mask_t all_errors = CAN_ERR_MASK;
    ::setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &all_errors, sizeof all_errors);
    ::setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on);
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = request.ifr_ifindex;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
      return fail("cannot bind the CAN socket");
    }
    bound_index_ = request.ifr_ifindex;
    last_kernel_drops_ = 0;  // the kernel counts per socket
    loop_->Watch(fd_, POLLIN, [this](short revents) { OnReadable(revents); });
    return true;
  }

  void Close() {
    if (fd_ < 0) return;
    if (loop_) loop_->Unwatch(fd_);
    ::close(fd_);
    fd_ = -1;
  }

  void OnReadable(short revents) {
    if ((revents & (POLLIN | POLLERR | POLLHUP)) == 0) return;
    batch_.clear();
    // Up to kMaxReadsPerWake frames in recvmmsg calls of kFramesPerCall, each frame with its
    // own control data (the drop counter).
    for (int read = 0; read < kMaxReadsPerWake && fd_ >= 0;) {
      for (int i = 0; i < kFramesPerCall; ++i) {
        vecs_[i] = {&frames_[i], sizeof frames_[i]};
        messages_[i].msg_hdr = {};
        messages_[i].msg_hdr.msg_iov = &vecs_[i];
        messages_[i].msg_hdr.msg_iovlen = 1;
        messages_[i].msg_hdr.msg_control = controls_[i].bytes;
        messages_[i].msg_hdr.msg_controllen = sizeof controls_[i].bytes;
      }
      const int n = ::recvmmsg(fd_, messages_.data(), kFramesPerCall, MSG_DONTWAIT, nullptr);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK && !OnLinkError(errno)) {
          // Another lasting error must not spin the loop: look again in a second.
          ReportReadError(errno);
          PauseReading();
        }
        break;
      }
      last_read_error_ = 0;
      for (int i = 0; i < n; ++i) Take(messages_[i], frames_[i]);
      read += n;
      if (n < kFramesPerCall) break;  // the queue is empty
    }
    if (!batch_.empty()) on_receive_(batch_);
  }

  // One received frame: counted when it has no record form, else added to the batch.
  void Take(mmsghdr& message, const canfd_frame& in) {
    ReadDropCounter(message.msg_hdr);
    const unsigned n = message.msg_len;
    if (n == CANFD_MTU) {
      ++counters_.rx_fd;
    } else if (n != CAN_MTU) {
      ++counters_.rx_malformed;
    } else if (in.can_id & CAN_ERR_FLAG) {
      ++counters_.rx_error;
    } else if (in.can_id & CAN_RTR_FLAG) {
      ++counters_.rx_remote;
    } else {
      can_frame classic;
      std::memcpy(&classic, &in, sizeof classic);
      if (const auto record = frame::FromCanFrame(classic, 0)) batch_.push_back(*record);
    }
  }

  // True when `error` says the interface is down or gone; the link state follows it.
  bool OnLinkError(int error) {
    if (error == ENETDOWN) {
      // Removing an interface takes it down first: say only that it has gone.
      LinkLost(QueryLink(iface_).index == bound_index_ ? Link::kDown : Link::kGone);
      return true;
    }
    if (error == ENODEV || error == ENXIO) {
      LinkLost(Link::kGone);
      return true;
    }
    return false;
  }

  void LinkLost(Link how) {
    if (how == Link::kGone) {
      Close();
      if (link_ != Link::kGone) ReportError(iface_ + " has gone away; waiting for it to come back");
    } else if (link_ == Link::kUp) {
      ReportError(iface_ + " is down; waiting for it to come up");
    }
    if (how == Link::kGone || link_ == Link::kUp) link_ = how;
    if (!check_timer_) ArmLinkCheck();
  }

  void ArmLinkCheck() {
    check_timer_ = loop_->AddTimer(EventLoop::Clock::now() + kLinkCheckPeriod, [this] {
      check_timer_ = 0;
      CheckLink();
    });
  }

  void CheckLink() {
    const LinkInfo info = QueryLink(iface_);
    // Removed and created again between two looks: the old binding is dead.
    if (link_ == Link::kDown && info.index != bound_index_) LinkLost(Link::kGone);
    if (link_ == Link::kGone && info.index != 0) {
      std::string error;
      if (Open(&error)) {
        last_open_error_.clear();
        ++counters_.reconnects;
        link_ = Link::kDown;
        if (info.up) {
          link_ = Link::kUp;
          ReportNotice(iface_ + " is back");
        } else {
          ReportError(iface_ + " is back, but down; waiting for it to come up");
        }
      } else if (error != last_open_error_) {
        ReportError(error);
        last_open_error_ = error;
      }
    } else if (link_ == Link::kDown && info.up) {
      link_ = Link::kUp;
      ReportNotice(iface_ + " is up again");
    }
    if (link_ != Link::kUp) ArmLinkCheck();
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
  int bound_index_ = 0;
  Link link_ = Link::kUp;
  EventLoop* loop_ = nullptr;
  ReceiveFn on_receive_;
  std::vector<frame::FrameRecord> batch_;
  // recvmmsg's buffers, kept between wake-ups.
  struct Control {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(std::uint32_t))];
  };
  std::array<canfd_frame, kFramesPerCall> frames_{};
  std::array<iovec, kFramesPerCall> vecs_{};
  std::array<Control, kFramesPerCall> controls_{};
  std::array<mmsghdr, kFramesPerCall> messages_{};
  SourceCounters counters_;
  std::uint32_t last_kernel_drops_ = 0;
  int last_read_error_ = 0;
  int last_write_error_ = 0;
  std::string last_open_error_;
  std::uint64_t pause_timer_ = 0;
  std::uint64_t check_timer_ = 0;
};

}  // namespace

std::unique_ptr<CanSource> MakeSocketcanSource(std::string iface) {
  return std::make_unique<SocketcanSource>(std::move(iface));
}

}  // namespace tran
