// A raw CAN socket (PF_CAN, SOCK_RAW, CAN_RAW) bound to one interface. The kernel's receive
// queue drop counter arrives with each frame (SO_RXQ_OVFL) and is reported as rx_overflow.
//
// Transmission. The interface queues a few frames and its controller sends them at the bus
// rate; a write to a full queue fails with ENOBUFS (or EAGAIN). Accepted frames wait in a
// TransmitHold, in order, and are written as the queue empties: after each read and on a
// short retry timer (the socket says "writable" while the interface queue is still full, so
// poll cannot tell when). Nothing accepted is dropped for a full queue; the bridge stops
// taking frames from their senders while the hold is long (TransmitBacklog).
// Own frames come back as the kernel's echo (CAN_RAW_RECV_OWN_MSGS, flagged MSG_CONFIRM)
// once the interface sent them, and are handed to the echo callback: the bus sees a sent
// frame when it was on CAN, in order with what was received.
//
// Bus state. Error frames (all classes subscribed) are counted by kind and tell the
// controller's state; the state is also read over netlink at start and when the link comes
// back. Each change is reported once, with the error counters when the driver gives them.
// While the interface is down or the controller is bus-off, frames are not held: a stale
// frame must never burst onto a bus when it comes back. They are dropped and counted in
// tx_dropped, and the hold is emptied.
//
// Times. Each frame carries its own kernel receive time (SO_TIMESTAMP, what candump writes);
// a frame sent here carries the time of its echo. With hardware_time, the adapter's own
// stamp (SO_TIMESTAMPING raw hardware, as candump -H) where the driver gives one.
//
// Frames without a record form are read and counted, so that the companion can say what it
// ignored: remote frames, error frames and CAN FD frames (CAN_RAW_FD_FRAMES is on; on a
// classic interface none arrive).
//
// Interface loss. The companion keeps serving the bus while the interface is away:
//   down     the socket stays bound; frames flow again as soon as the interface is up.
//   removed  the socket is closed (its binding died with the interface) and reopened by name
//            once an interface of that name exists again; it gets a new index.
// Each change is reported once ("vcan0 is down; ...", "vcan0 is up again"); while the link
// is lost, a one-second timer looks at the interface by name.
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <time.h>  // before linux/errqueue.h, which needs struct timespec

#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "frame/can_frame_conv.h"
#include "tran/base/report.h"
#include "tran/can/can_errors.h"
#include "tran/can/can_link.h"
#include "tran/can/can_source.h"
#include "tran/can/socketcan_source.h"
#include "tran/can/transmit_hold.h"

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
// Frames accepted while the interface queue is full. The bridge stops taking frames long
// before this (see tran/core/bridge.h); the rest is room for what was on its way when it did.
constexpr std::size_t kHoldCapacity = 256 * 1024;
// Retries of a full interface queue follow the bus: a retry that finds room for a frame or
// none came too soon, one that writes many could have come sooner. So a slow or stalled bus
// costs a few wake-ups a second, and a fast one never waits on an empty queue (it holds 10
// frames, 2.5 ms at 500 kbit/s).
constexpr auto kRetryFirst = std::chrono::milliseconds(1);
constexpr auto kRetryShortest = std::chrono::microseconds(250);
constexpr auto kRetryLongest = std::chrono::milliseconds(16);
constexpr std::size_t kRetryFewFrames = 1;   // written by one retry: wait longer next time
constexpr std::size_t kRetryManyFrames = 4;  // written by one retry: wait shorter next time

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
  SocketcanSource(std::string iface, bool hardware_time)
      : iface_(std::move(iface)), hardware_time_(hardware_time), hold_(kHoldCapacity) {}
  ~SocketcanSource() override { Stop(); }

  bool Start(zelk::EventLoop& loop, ReceiveFn on_receive, std::string* error) override {
    loop_ = &loop;
    on_receive_ = std::move(on_receive);
    if (!Open(error)) return false;
    if (!QueryLink(iface_).up) LinkLost(Link::kDown);
    ReadControllerState();
    return true;
  }

  bool EchoTransmitted(EchoFn on_echo) override {
    on_echo_ = std::move(on_echo);
    return true;
  }
  std::size_t TransmitBacklog() const override { return hold_.Waiting(); }
  void OnBacklogShrunk(std::function<void()> fn) override { on_shrunk_ = std::move(fn); }

  void Stop() override {
    if (loop_) {
      if (pause_timer_) loop_->CancelTimer(pause_timer_);
      if (check_timer_) loop_->CancelTimer(check_timer_);
      if (retry_timer_) loop_->CancelTimer(retry_timer_);
    }
    pause_timer_ = check_timer_ = retry_timer_ = 0;
    Close();
  }

  std::size_t Transmit(std::span<const frame::FrameRecord> records, std::uint64_t origin) override {
    std::size_t accepted = 0;
    if (fd_ >= 0 && link_ == Link::kUp && state_ != ControllerState::kBusOff) {
      accepted = hold_.Add(records, origin);
      WriteHeld();
    }
    counters_.tx_dropped += records.size() - accepted;
    return accepted;
  }

  SourceCounters Counters() const override { return counters_; }
  SourceStatus Status() const override {
    SourceStatus status;
    status.link = link_ == Link::kUp ? "up" : link_ == Link::kDown ? "down" : "gone";
    if (link_ == Link::kGone) return status;
    // The state as error frames last told it; an interface without a controller (vcan) has
    // one only once such a frame came.
    const auto info = QueryCanLink(bound_index_);
    if ((info && info->state) || state_ != ControllerState::kActive) status.state = state_;
    if (info) {
      status.counters = info->counters;
      status.bitrate = info->bitrate;
    }
    return status;
  }
  std::string LogName() const override { return iface_; }

 private:
  // Writes held frames until the interface queue is full; then retries on a timer.
  void WriteHeld(bool retry = false) {
    const std::size_t before = hold_.Waiting();
    bool full = false;
    while (hold_.Waiting() > 0 && fd_ >= 0) {
      const ssize_t n = ::write(fd_, &hold_.Front(), sizeof(can_frame));
      if (n == static_cast<ssize_t>(sizeof(can_frame))) {
        hold_.FrontWritten();
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == ENOBUFS || errno == EAGAIN)) {
        full = true;
        break;
      }
      if (n < 0 && OnLinkError(errno)) break;  // the hold was emptied
      // The interface refuses this frame for good: drop it, keep the rest.
      ReportWriteError(n < 0 ? errno : EIO);
      hold_.DropFront();
      ++counters_.tx_dropped;
    }
    const std::size_t written = before - std::min(before, hold_.Waiting());
    if (full) ArmRetry(retry, written);
    if (written > 0 && on_shrunk_) on_shrunk_();
  }

  void ArmRetry(bool retry, std::size_t written) {
    using Duration = zelk::EventLoop::Clock::duration;
    if (retry_delay_ == Duration::zero()) {
      retry_delay_ = std::chrono::duration_cast<Duration>(kRetryFirst);
    } else if (retry && written <= kRetryFewFrames) {
      retry_delay_ = std::min<Duration>(retry_delay_ * 2, kRetryLongest);
    } else if (retry && written >= kRetryManyFrames) {
      retry_delay_ = std::max<Duration>(retry_delay_ / 2, kRetryShortest);
    }
    if (retry_timer_) return;
    retry_timer_ = loop_->AddTimer(zelk::EventLoop::Clock::now() + retry_delay_, [this] {
      retry_timer_ = 0;
      WriteHeld(true);
    });
  }

  // Down, gone or bus-off: what waits would go out stale once the bus is back.
  void DropHeld() {
    const std::size_t dropped = hold_.DropWaiting();
    hold_.ForgetInFlight();
    if (retry_timer_) loop_->CancelTimer(retry_timer_);
    retry_timer_ = 0;
    counters_.tx_dropped += dropped;
    if (dropped > 0 && on_shrunk_) on_shrunk_();
  }

  // The controller's state as the kernel has it. An interface without one (vcan) has none;
  // after a restart (the link came up again) it is then taken as error-active.
  void ReadControllerState(bool restarted = false) {
    if (bound_index_ == 0) return;
    const auto info = QueryCanLink(bound_index_);
    if (info && info->state) {
      ChangeState(*info->state, info->counters);
    } else if (restarted) {
      ChangeState(ControllerState::kActive, std::nullopt);
    }
  }

  void ChangeState(ControllerState state, std::optional<ErrorCounters> counters) {
    if (state == state_) return;
    const ControllerState was = state_;
    state_ = state;
    std::string counts;
    if (counters) {
      counts = " (tx errors " + std::to_string(counters->tx) + ", rx errors " +
               std::to_string(counters->rx) + ")";
    }
    switch (state) {
      case ControllerState::kActive:
        ReportNotice(iface_ + " is error-active again");
        break;
      case ControllerState::kWarning:
      case ControllerState::kPassive:
        ReportWarning(iface_ + " is " + StateName(state) + counts);
        break;
      case ControllerState::kBusOff:
        ReportError(iface_ + " is bus-off; frames for CAN are dropped until it recovers");
        DropHeld();
        break;
      case ControllerState::kStopped:
        // A stopped controller is a down interface, reported as such.
        state_ = was;
        break;
    }
  }

  void OnErrorFrame(const can_frame& in) {
    ++counters_.rx_error;
    const ErrorFrame error = DecodeErrorFrame(in);
    counters_.errors.Add(error.kinds);
    if (error.kinds.no_ack && !no_ack_reported_) {
      no_ack_reported_ = true;
      ReportError("no node acknowledges the frames sent on " + iface_ +
                  ": is another node on the bus, at the same bitrate?");
    }
    if (error.state) ChangeState(*error.state, error.counters);
  }

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
    // Each frame's kernel receive time, as candump takes it; the adapter's own time on request.
    if (::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on) < 0) {
      return fail("cannot enable receive times");
    }
    if (hardware_time_) {
      const int flags = SOF_TIMESTAMPING_RX_HARDWARE | SOF_TIMESTAMPING_RAW_HARDWARE;
      if (::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags) < 0) {
        return fail("cannot enable the adapter's receive times");
      }
    }
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) < 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    }
    // Own frames come back once sent: the echo the bus sees (MSG_CONFIRM marks them).
    if (::setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &on, sizeof on) < 0) {
      return fail("cannot receive own frames back");
    }
    // Error frames tell the bus state; a kernel without these options simply sends none.
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
    FlushBatch();
    if (hold_.Waiting() > 0 && !retry_timer_) WriteHeld();
  }

  // Received frames and echoes go out in the order they came, each run in one batch.
  void Emit(const frame::FrameRecord& record, FrameTime time, bool own, std::uint64_t origin) {
    if (!batch_.empty() && (own != batch_own_ || origin != batch_origin_)) FlushBatch();
    batch_own_ = own;
    batch_origin_ = origin;
    batch_.push_back(record);
    batch_times_.push_back(time);
  }
  void FlushBatch() {
    if (batch_.empty()) return;
    if (batch_own_) {
      if (on_echo_) on_echo_(batch_, batch_times_, batch_origin_);
    } else {
      on_receive_(batch_, batch_times_);
    }
    batch_.clear();
    batch_times_.clear();
  }

  // One received frame: counted when it has no record form, else added to the batch.
  void Take(mmsghdr& message, const canfd_frame& in) {
    const FrameTime time = ReadControl(message.msg_hdr);
    const unsigned n = message.msg_len;
    if (n == CANFD_MTU) {
      ++counters_.rx_fd;
    } else if (n != CAN_MTU) {
      ++counters_.rx_malformed;
    } else {
      can_frame classic;
      std::memcpy(&classic, &in, sizeof classic);
      if (classic.can_id & CAN_ERR_FLAG) {
        OnErrorFrame(classic);
      } else if (classic.can_id & CAN_RTR_FLAG) {
        ++counters_.rx_remote;
      } else if (const auto record = frame::FromCanFrame(classic, 0)) {
        const bool own = (message.msg_hdr.msg_flags & MSG_CONFIRM) != 0;
        Emit(*record, time, own, own ? hold_.TakeEcho(classic) : 0);
      }
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
    DropHeld();
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
    check_timer_ = loop_->AddTimer(zelk::EventLoop::Clock::now() + kLinkCheckPeriod, [this] {
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
          ReadControllerState(true);
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
      // Taking an interface down and up restarts its controller.
      ReadControllerState(true);
    }
    if (link_ != Link::kUp) ArmLinkCheck();
  }

  void PauseReading() {
    loop_->Unwatch(fd_);
    pause_timer_ = loop_->AddTimer(zelk::EventLoop::Clock::now() + std::chrono::seconds(1), [this] {
      pause_timer_ = 0;
      if (fd_ >= 0) loop_->Watch(fd_, POLLIN, [this](short revents) { OnReadable(revents); });
    });
  }

  // Reads the drop counter and returns the frame's time: the adapter's, when asked for and
  // given, else the kernel's receive time (as candump's), else now.
  FrameTime ReadControl(msghdr& message) {
    std::optional<FrameTime> software;
    std::optional<FrameTime> hardware;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_SOCKET) continue;
      if (c->cmsg_type == SCM_TIMESTAMP && c->cmsg_len >= CMSG_LEN(sizeof(timeval))) {
        timeval stamp;
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        software = static_cast<FrameTime>(stamp.tv_sec) * 1'000'000 + stamp.tv_usec;
      } else if (c->cmsg_type == SCM_TIMESTAMPING &&
                 c->cmsg_len >= CMSG_LEN(sizeof(scm_timestamping))) {
        scm_timestamping stamps;
        std::memcpy(&stamps, CMSG_DATA(c), sizeof stamps);
        const timespec& raw = stamps.ts[2];
        if (raw.tv_sec != 0 || raw.tv_nsec != 0) {
          hardware = static_cast<FrameTime>(raw.tv_sec) * 1'000'000 + raw.tv_nsec / 1000;
        }
      } else if (c->cmsg_type == SO_RXQ_OVFL && c->cmsg_len >= CMSG_LEN(sizeof(std::uint32_t))) {
        std::uint32_t dropped;
        std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
        // The kernel's counter is cumulative for the socket (and wraps at 32 bits).
        counters_.rx_overflow += static_cast<std::uint32_t>(dropped - last_kernel_drops_);
        last_kernel_drops_ = dropped;
      }
    }
    if (hardware) return *hardware;
    return software ? *software : FrameTimeNow();
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
  bool hardware_time_;
  int fd_ = -1;
  int bound_index_ = 0;
  Link link_ = Link::kUp;
  zelk::EventLoop* loop_ = nullptr;
  ReceiveFn on_receive_;
  EchoFn on_echo_;
  std::function<void()> on_shrunk_;
  std::vector<frame::FrameRecord> batch_;
  std::vector<FrameTime> batch_times_;
  bool batch_own_ = false;
  std::uint64_t batch_origin_ = 0;
  TransmitHold hold_;
  std::uint64_t retry_timer_ = 0;
  zelk::EventLoop::Clock::duration retry_delay_{};
  ControllerState state_ = ControllerState::kActive;
  bool no_ack_reported_ = false;
  // recvmmsg's buffers, kept between wake-ups.
  struct Control {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(std::uint32_t)) + CMSG_SPACE(sizeof(timeval)) +
                                CMSG_SPACE(sizeof(scm_timestamping))];
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

std::unique_ptr<CanSource> MakeSocketcanSource(std::string iface, bool hardware_time) {
  return std::make_unique<SocketcanSource>(std::move(iface), hardware_time);
}

}  // namespace tran
