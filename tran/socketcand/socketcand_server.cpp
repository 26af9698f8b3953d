#include "tran/socketcand/socketcand_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tran/base/report.h"

namespace tran {

namespace {

constexpr std::string_view kTooMany = "< error too many clients >";

void SetNoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

SocketcandServer::SocketcandServer(zelk::EventLoop& loop, SocketcandServerOptions options,
                                   FrameSink sink)
    : loop_(loop), options_(std::move(options)), sink_(std::move(sink)) {}

SocketcandServer::~SocketcandServer() { Stop(); }

bool SocketcandServer::Start(std::string* error) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, options_.address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(options_.port);
    length = sizeof *v4;
  } else if (inet_pton(AF_INET6, options_.address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(options_.port);
    length = sizeof *v6;
  } else {
    if (error) *error = "bad listen address " + options_.address;
    return false;
  }
  const auto fail = [&](const char* what) {
    if (error)
      *error = std::string(what) + " " + options_.address + ":" + std::to_string(options_.port) +
               ": " + std::strerror(errno);
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    return false;
  };
  listen_fd_ = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return fail("cannot open a socket for");
  const int on = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&storage), length) < 0) {
    return fail("cannot listen on");
  }
  if (::listen(listen_fd_, 16) < 0) return fail("cannot listen on");
  sockaddr_storage bound{};
  socklen_t bound_length = sizeof bound;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &bound_length);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  check_peer_user_ = !options_.any_user && IsLoopbackAddress(options_.address);
  our_uid_ = ::geteuid();
  loop_.Watch(listen_fd_, POLLIN, [this](short) { OnAccept(); });
  return true;
}

void SocketcandServer::Stop() {
  while (!clients_.empty()) CloseClient(clients_.begin()->first);
  if (accept_timer_) loop_.CancelTimer(accept_timer_);
  accept_timer_ = 0;
  if (listen_fd_ >= 0) {
    loop_.Unwatch(listen_fd_);
    ::close(listen_fd_);
    listen_fd_ = -1;
  }
}

void SocketcandServer::OnAccept() {
  for (;;) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // Out of descriptors: the pending connection stays queued; look again shortly
      // instead of spinning on a listening socket that stays readable.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        ReportError(std::string("socketcand server cannot accept: ") + std::strerror(errno));
        PauseAccepting();
      }
      return;
    }
    if (check_peer_user_ && !PeerIsOurUser(fd)) {
      // socketcand has no refusal line before "< hi >": the client sees the connection end.
      ++counters_.clients_of_other_users;
      ::close(fd);
      continue;
    }
    SetNoDelay(fd);
    if (clients_.size() >= options_.max_clients) {
      ++counters_.clients_refused;
      [[maybe_unused]] const ssize_t n =
          ::send(fd, kTooMany.data(), kTooMany.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      ::close(fd);
      continue;
    }
    const std::uint64_t id = next_id_++;
    auto client = std::make_unique<Client>(options_.max_output_bytes);
    client->fd = fd;
    client->id = id;
    Client& added = *client;
    clients_.emplace(id, std::move(client));
    loop_.Watch(fd, EventsFor(added), [this, id](short revents) { OnClientEvent(id, revents); });
    Reply(added, "< hi >");
  }
}

bool SocketcandServer::PeerIsOurUser(int fd) {
  std::string why;
  const std::optional<uid_t> owner = options_.peer_owner(fd, &why);
  if (owner == our_uid_) return true;
  if (owner) {
    if (users_reported_.insert(*owner).second) {
      ReportError("refused a socketcand client of another user (uid " + std::to_string(*owner) +
                  ") on " + Endpoint());
    }
  } else if (reasons_reported_.insert(why).second) {
    ReportError("cannot tell the user of a socketcand client on " + Endpoint() + " (" + why +
                "); refused it (--listen-any-user serves every user)");
  }
  return false;
}

std::string SocketcandServer::Endpoint() const {
  return options_.address + ":" + std::to_string(port_);
}

void SocketcandServer::PauseAccepting() {
  loop_.Unwatch(listen_fd_);
  accept_timer_ =
      loop_.AddTimer(zelk::EventLoop::Clock::now() + std::chrono::milliseconds(100), [this] {
        accept_timer_ = 0;
        loop_.Watch(listen_fd_, POLLIN, [this](short) { OnAccept(); });
      });
}

void SocketcandServer::OnClientEvent(std::uint64_t id, short revents) {
  const auto it = clients_.find(id);
  if (it == clients_.end()) return;
  Client& client = *it->second;
  if (revents & POLLOUT) {
    Flush(client);
    if (!clients_.contains(id)) return;
  }
  if (revents & (POLLIN | POLLHUP | POLLERR)) ReadFrom(client);
}

void SocketcandServer::ReadFrom(Client& client) {
  const std::uint64_t id = client.id;
  char buffer[4096];
  const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    CloseClient(id);
    return;
  }
  const bool within_limit = client.splitter.Append(std::string_view(buffer, std::size_t(n)));
  std::vector<frame::FrameRecord> frames;
  bool open = true;
  while (open) {
    const auto message = client.splitter.Next();
    if (!message) break;
    HandleMessage(client, *message, frames);
    open = clients_.contains(id);
  }
  // Frames accepted before a client was dropped still go onto the bus.
  if (!frames.empty()) {
    counters_.frames_received += frames.size();
    if (open && !client.sent_frames) {  // `client` is gone when it was closed
      client.sent_frames = true;
      if (reading_paused_) loop_.SetEvents(client.fd, EventsFor(client));
    }
    sink_(frames, id);  // may broadcast to this server's clients, or pause reading
  }
  if (!within_limit && clients_.contains(id)) {
    ++counters_.clients_dropped;
    CloseClient(id);
  }
}

void SocketcandServer::HandleMessage(Client& client, const std::string& inner,
                                     std::vector<frame::FrameRecord>& frames) {
  const Command command = ParseCommand(inner);
  switch (command.kind) {
    case CommandKind::kOpen:
      client.opened = true;
      return Reply(client, "< ok >");
    case CommandKind::kRawmode:
      if (!client.opened) return Reply(client, "< error no channel open >");
      if (!client.rawmode) {
        client.rawmode = true;
        client.frames_from = zelk::EventLoop::Clock::now() + options_.rawmode_settle;
        const std::uint64_t id = client.id;
        client.settle_timer = loop_.AddTimer(client.frames_from, [this, id] {
          const auto it = clients_.find(id);
          if (it == clients_.end()) return;
          it->second->settle_timer = 0;
          Flush(*it->second);
        });
      }
      return Reply(client, "< ok >");
    case CommandKind::kEcho:
      return Reply(client, "< echo >");
    case CommandKind::kSend:
      if (!client.opened) return Reply(client, "< error no channel open >");
      frames.push_back(command.record);
      return;
    case CommandKind::kBad:
      return Reply(client, "< error " + command.text + " >");
    case CommandKind::kUnknown:
      return Reply(client, "< error unknown command >");
  }
}

void SocketcandServer::Reply(Client& client, std::string_view text) {
  if (!client.output.AddReply(text)) {
    // It sends commands but reads no replies: a broken peer.
    ++counters_.clients_dropped;
    CloseClient(client.id);
    return;
  }
  Flush(client);
}

void SocketcandServer::Flush(Client& client) {
  const bool frames_allowed = client.settle_timer == 0;
  const auto result = client.output.FlushTo(client.fd, frames_allowed);
  if (result == TcpOutput::Flush::kError) {
    CloseClient(client.id);
    return;
  }
  client.waiting_writable = result == TcpOutput::Flush::kBlocked && frames_allowed;
  loop_.SetEvents(client.fd, EventsFor(client));
}

short SocketcandServer::EventsFor(const Client& client) const {
  const bool paused = reading_paused_ && client.sent_frames;
  return static_cast<short>((paused ? 0 : POLLIN) | (client.waiting_writable ? POLLOUT : 0));
}

void SocketcandServer::PauseReading(bool paused) {
  if (paused == reading_paused_) return;
  reading_paused_ = paused;
  for (const auto& [id, client] : clients_) loop_.SetEvents(client->fd, EventsFor(*client));
}

void SocketcandServer::Broadcast(std::span<const frame::FrameRecord> records, const timeval& time,
                                 std::uint64_t skip_client) {
  const std::vector<FrameTime> times(
      records.size(), static_cast<FrameTime>(time.tv_sec) * 1'000'000 + time.tv_usec);
  Broadcast(records, times, skip_client);
}

void SocketcandServer::Broadcast(std::span<const frame::FrameRecord> records,
                                 std::span<const FrameTime> times, std::uint64_t skip_client) {
  if (records.empty() || clients_.empty()) return;
  scratch_.clear();
  for (std::size_t i = 0; i < records.size(); ++i) {
    // One space before each frame: python-can's socketcand reader drops the first byte left
    // over after the whole messages of each recv(), so a frame cut by a recv boundary would
    // lose its '<' (and the frame) if that byte were not a space. Before the frame, not after
    // it: a read that ends with a frame then leaves nothing over for the reader to warn of.
    // Readers skip to '<' anyway.
    scratch_ += ' ';
    AppendFrameMessage(scratch_, records[i], ToTimeval(times[i]));
  }
  std::vector<std::uint64_t> ready;
  for (auto& [id, client] : clients_) {
    if (id == skip_client || !client->rawmode) continue;
    if (!client->output.AddFrames(scratch_)) {
      counters_.frames_dropped += records.size();
      continue;
    }
    ready.push_back(id);
  }
  // Flushing may close a client, so it runs after the walk over the map.
  for (const std::uint64_t id : ready) {
    const auto it = clients_.find(id);
    if (it != clients_.end()) Flush(*it->second);
  }
}

std::size_t SocketcandServer::LargestClientBacklogBytes() const {
  std::size_t largest = 0;
  for (const auto& [id, client] : clients_) largest = std::max(largest, client->output.Bytes());
  return largest;
}

void SocketcandServer::CloseClient(std::uint64_t id) {
  const auto it = clients_.find(id);
  if (it == clients_.end()) return;
  Client& client = *it->second;
  loop_.Unwatch(client.fd);
  if (client.settle_timer) loop_.CancelTimer(client.settle_timer);
  ::close(client.fd);
  clients_.erase(it);
}

}  // namespace tran
