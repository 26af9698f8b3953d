// A client of a remote socketcand daemon in raw mode:
//   server "< hi >", we "< open CHANNEL >", server "< ok >", we "< rawmode >", server "< ok >",
//   then the server streams "< frame ... >" and we send "< send ... >".
// A dropped link (or a refused handshake) is retried with a doubling back-off. Frames to send
// while the link is down are dropped and counted.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "tran/base/report.h"
#include "tran/can/can_source.h"
#include "tran/socketcand/remote_clock.h"
#include "tran/socketcand/socketcand_client_source.h"
#include "tran/socketcand/socketcand_protocol.h"
#include "tran/socketcand/tcp_output.h"

namespace tran {

namespace {

enum class LinkState { kDown, kConnecting, kWaitHi, kWaitOpen, kWaitRaw, kStreaming };

class SocketcandClientSource final : public CanSource {
 public:
  explicit SocketcandClientSource(SocketcandClientOptions options)
      : options_(std::move(options)),
        output_(options_.max_output_bytes),
        backoff_(options_.min_backoff) {}
  ~SocketcandClientSource() override { Stop(); }

  bool Start(zelk::EventLoop& loop, ReceiveFn on_receive, std::string*) override {
    loop_ = &loop;
    on_receive_ = std::move(on_receive);
    Connect();  // a failure here is retried like a dropped link
    return true;
  }

  void Stop() override {
    if (!loop_) return;
    if (retry_timer_) loop_->CancelTimer(retry_timer_);
    retry_timer_ = 0;
    CloseSocket();
    loop_ = nullptr;
  }

  std::size_t Transmit(std::span<const frame::FrameRecord> records, std::uint64_t) override {
    std::size_t accepted = 0;
    if (state_ == LinkState::kStreaming) {
      // Echoed by the bridge as they are accepted: remote frames after them come later.
      clock_.Floor(FrameTimeNow());
      for (; accepted < records.size(); ++accepted) {
        if (!output_.AddFrames(FormatSendMessage(records[accepted]))) break;
      }
      Flush();
    }
    counters_.tx_dropped += records.size() - accepted;
    return accepted;
  }

  SourceCounters Counters() const override { return counters_; }
  SourceStatus Status() const override {
    return {state_ == LinkState::kStreaming ? "connected"
            : state_ == LinkState::kDown    ? "down"
                                            : "connecting",
            {},
            {},
            {}};
  }
  std::string LogName() const override { return options_.channel; }

 private:
  void Connect() {
    retry_timer_ = 0;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(options_.port);
    const int rc = ::getaddrinfo(options_.host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
      LinkDown(std::string("cannot resolve ") + options_.host + ": " + gai_strerror(rc));
      return;
    }
    fd_ = ::socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && ::connect(fd_, found->ai_addr, found->ai_addrlen) < 0 && errno != EINPROGRESS) {
      ::close(fd_);
      fd_ = -1;
    }
    ::freeaddrinfo(found);
    if (fd_ < 0) {
      LinkDown("cannot connect to " + Peer() + ": " + std::strerror(errno));
      return;
    }
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    state_ = LinkState::kConnecting;
    loop_->Watch(fd_, POLLOUT, [this](short revents) { OnEvent(revents); });
  }

  void OnEvent(short revents) {
    if (state_ == LinkState::kConnecting) {
      int error = 0;
      socklen_t size = sizeof error;
      ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size);
      if (error != 0) {
        LinkDown("cannot connect to " + Peer() + ": " + std::strerror(error));
        return;
      }
      state_ = LinkState::kWaitHi;
      loop_->SetEvents(fd_, POLLIN);
      return;
    }
    if (revents & POLLOUT) Flush();
    if (fd_ >= 0 && (revents & (POLLIN | POLLHUP | POLLERR))) OnReadable();
  }

  void OnReadable() {
    char buffer[16384];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
      LinkDown("link to " + Peer() + " dropped" +
               (n < 0 ? std::string(": ") + std::strerror(errno) : std::string()));
      return;
    }
    const bool within_limit = splitter_.Append(std::string_view(buffer, static_cast<size_t>(n)));
    batch_.clear();
    remote_times_.clear();
    times_.clear();
    arrival_ = FrameTimeNow();
    while (fd_ >= 0) {
      const auto message = splitter_.Next();
      if (!message) break;
      OnMessage(*message);
    }
    if (!batch_.empty()) {
      clock_.Map(remote_times_, arrival_, times_);
      on_receive_(batch_, times_);
    }
    if (fd_ >= 0 && !within_limit) LinkDown("overlong message from " + Peer());
  }

  void OnMessage(const std::string& inner) {
    const std::string_view text = Trimmed(inner);
    switch (state_) {
      case LinkState::kWaitHi:
        if (text != "hi") return LinkDown("unexpected greeting from " + Peer());
        SendCommand("< open " + options_.channel + " >");
        state_ = LinkState::kWaitOpen;
        return;
      case LinkState::kWaitOpen:
        if (text != "ok") return LinkDown(Peer() + " refused channel " + options_.channel);
        SendCommand("< rawmode >");
        state_ = LinkState::kWaitRaw;
        return;
      case LinkState::kWaitRaw:
        if (text != "ok") return LinkDown(Peer() + " refused raw mode");
        state_ = LinkState::kStreaming;
        clock_.Reset();
        backoff_ = options_.min_backoff;
        if (was_connected_) ++counters_.reconnects;
        was_connected_ = true;
        ReportNotice("connected to socketcand " + Peer() + " channel " + options_.channel);
        return;
      case LinkState::kStreaming: {
        std::optional<std::int64_t> remote_time;
        if (const auto record = ParseFrameMessage(text, &remote_time)) {
          batch_.push_back(*record);
          remote_times_.push_back(remote_time);
        } else if (!text.starts_with("error") && text != "echo" && text != "ok") {
          ++counters_.rx_malformed;
        }
        return;
      }
      case LinkState::kDown:
      case LinkState::kConnecting:
        return;
    }
  }

  void SendCommand(const std::string& text) {
    output_.AddReply(text);
    Flush();
  }

  void Flush() {
    if (fd_ < 0) return;
    const auto result = output_.FlushTo(fd_, true);
    if (result == TcpOutput::Flush::kError) {
      LinkDown("send to " + Peer() + " failed: " + std::strerror(errno));
      return;
    }
    loop_->SetEvents(fd_, result == TcpOutput::Flush::kBlocked ? POLLIN | POLLOUT : POLLIN);
  }

  void LinkDown(const std::string& reason) {
    if (state_ == LinkState::kStreaming || !reported_down_) ReportError(reason);
    reported_down_ = true;
    CloseSocket();
    retry_timer_ = loop_->AddTimer(zelk::EventLoop::Clock::now() + backoff_, [this] { Connect(); });
    backoff_ = std::min(backoff_ * 2, options_.max_backoff);
  }

  void CloseSocket() {
    if (fd_ >= 0) {
      loop_->Unwatch(fd_);
      ::close(fd_);
      fd_ = -1;
    }
    state_ = LinkState::kDown;
    output_.Clear();
    splitter_ = MessageSplitter();
  }

  std::string Peer() const { return options_.host + ":" + std::to_string(options_.port); }

  static std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
  }

  SocketcandClientOptions options_;
  zelk::EventLoop* loop_ = nullptr;
  ReceiveFn on_receive_;
  int fd_ = -1;
  LinkState state_ = LinkState::kDown;
  MessageSplitter splitter_;
  TcpOutput output_;
  std::vector<frame::FrameRecord> batch_;
  std::vector<std::optional<FrameTime>> remote_times_;
  std::vector<FrameTime> times_;
  FrameTime arrival_ = 0;  // when the data being parsed was read
  RemoteClock clock_;
  std::chrono::milliseconds backoff_;
  std::uint64_t retry_timer_ = 0;
  bool was_connected_ = false;
  bool reported_down_ = false;
  SourceCounters counters_;
};

}  // namespace

std::unique_ptr<CanSource> MakeSocketcandClientSource(SocketcandClientOptions options) {
  return std::make_unique<SocketcandClientSource>(std::move(options));
}

}  // namespace tran
