// The hub's loop thread (its own, or the host's) owns the listening socket, every client
// socket and every client queue; only it reads or writes them. With a thread of its own, other
// threads reach it through the pending deliveries guarded by `mutex`, handed over by a task
// posted to its loop, and through the posters' pause bits. Counters are atomics so Stats()
// never waits for the hub thread.
#include "hub/hub.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "hub/bus_path.h"
#include "hub/protocol.h"
#include "loop/event_loop.h"

namespace pelmo {

namespace {

using Packet = std::shared_ptr<const std::vector<std::uint8_t>>;

// Replies waiting for a client that does not read are few; beyond this they are dropped.
constexpr std::size_t kControlQueueBound = 256;
// Host deliveries waiting for the hub thread; beyond this they are dropped and counted.
constexpr std::size_t kPendingDeliveryBound = 65536;
// Packets read from one client before the others get a turn.
constexpr int kReadBudget = 64;
// Packets read per recvmmsg call, each into a buffer of the largest packet size. The buffers
// are left untouched until the kernel writes into them, so only the pages of the packets
// actually read become resident.
constexpr std::size_t kRecvBatch = 64;
// Packets handed to one sendmmsg call.
constexpr std::size_t kSendBatch = 32;

constexpr std::uint32_t kRouteMask = 0x0000FF00u;
constexpr std::uint32_t kDeliveredBit = 0x10000000u;  // a delivery from a CAN bridge
constexpr std::uint32_t kPostedBit = 0x20000000u;     // a block posted by a monitor

// A monitor's frames for the CAN bus: posted (bit 29) and not yet a delivery (bit 28).
bool IsForTheBridge(std::uint32_t code) {
  return (code & kPostedBit) != 0 && (code & kDeliveredBit) == 0;
}

struct Client {
  int fd = -1;
  bool registered = false;
  bool closed = false;
  std::uint32_t value = 0;
  std::string name;
  long pid = 0;
  std::deque<Packet> blocks;                      // bounded by client_queue_blocks and _bytes
  std::size_t block_bytes = 0;                    // bytes of the packets in `blocks`
  std::deque<std::vector<std::uint8_t>> control;  // replies, bounded by kControlQueueBound
  std::uint64_t dropped = 0;
  bool info_pending = false;
  short events = 0;                                    // what its watch on the loop asks for
  std::chrono::steady_clock::time_point read_after{};  // HubOptions::read_hold
  bool held = false;  // a hold started at its last read (ended or not, it was not read since)
  bool posts_to_host = false;  // it has posted blocks the host observes: paused with posters

  bool HasOutput() const { return info_pending || !control.empty() || !blocks.empty(); }
};

}  // namespace

struct Hub::Impl {
  using Clock = std::chrono::steady_clock;

  HubOptions options;
  std::string path;
  PostObserver observer;
  std::map<std::string, HostAnswer> host_answers;

  int listen_fd = -1;
  ino_t socket_inode = 0;
  zelk::EventLoop* loop = nullptr;            // the loop the hub is served on
  std::unique_ptr<zelk::EventLoop> own_loop;  // with Start(): run by `thread`
  std::thread thread;

  std::mutex mutex;
  bool running = false;
  std::vector<std::pair<std::uint32_t, Packet>> pending;  // own thread only: for RoutePending

  std::atomic<std::uint64_t> clients_registered{0};
  std::atomic<std::uint64_t> blocks_routed{0};
  std::atomic<std::uint64_t> blocks_dropped{0};
  std::atomic<std::uint64_t> bad_messages{0};
  std::atomic<std::size_t> largest_queue{0};     // blocks queued for the slowest client
  std::atomic<std::uint32_t> posters_paused{0};  // reasons given to PausePosters, as bits

  bool PostersPaused() const { return posters_paused.load(std::memory_order_acquire) != 0; }
  bool MayRead(const Client& c) const { return !c.posts_to_host || !PostersPaused(); }
  bool OnCallersLoop() const { return loop != nullptr && !own_loop; }

  // Loop thread only.
  std::list<Client> clients;
  std::map<std::string, std::int32_t> vars;
  std::map<std::string, std::string> strings;
  std::unique_ptr<std::uint8_t[]> recv_buffer;  // kRecvBatch packets, not zero-filled
  bool count_changed = false;
  bool round_requested = false;
  std::uint64_t hold_timer = 0;  // 0: none armed
  Clock::time_point hold_timer_at{};
  // A task deferred to the end of a round holds this weakly: it does nothing once the hub has
  // stopped, even when the host's loop runs it later.
  std::shared_ptr<int> alive;

  HubStart Open(std::string* error);
  void Serve();
  void Accept();
  void WatchClient(Client& c);
  void OnClientEvents(Client& c, short revents);
  bool ReadFrom(Client& c, int& packets);
  void ReadAfterHold(Client& c);
  void Handle(Client& c, const Message& m);
  bool HasRecipient(std::uint32_t code, const Client* sender) const;
  void Route(std::uint32_t code, const Packet& packet, const Client* sender);
  void RoutePending();
  void Flush(Client& c);
  void Close(Client& c, bool bad, WireError reason = WireError::kMalformed);
  void Reply(Client& c, std::uint32_t id, std::uint32_t status,
             std::span<const std::uint8_t> payload = {}, MsgType type = MsgType::kReply);
  void RequestRound();
  void EndRound();
  void ArmHoldTimer(Clock::time_point now);
  void FinalRound();
  void ShutDown();
  std::size_t LargestQueue() const;
};

void Hub::Impl::Accept() {
  for (;;) {
    const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN, or a transient error: poll tells us when to retry
    if (PeerUid(fd) != static_cast<long>(::geteuid())) {
      const auto err =
          EncodeMessage(MsgType::kError, static_cast<std::uint32_t>(WireError::kWrongPeer), 0,
                        AsBytes("peer of another user"));
      ::send(fd, err.data(), err.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      ::close(fd);
      continue;
    }
    Client c;
    c.fd = fd;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0)
      c.pid = credentials.pid;
    clients.push_back(std::move(c));
    WatchClient(clients.back());
  }
}

void Hub::Impl::WatchClient(Client& c) {
  c.events = POLLIN;
  loop->Watch(c.fd, c.events, [this, &c](short revents) { OnClientEvents(c, revents); });
}

void Hub::Impl::OnClientEvents(Client& c, short revents) {
  if (revents & POLLNVAL) {
    Close(c, false);
  } else if (revents & (POLLIN | POLLHUP | POLLERR)) {
    // A closed peer is read to its end first: its last posts still count.
    ReadAfterHold(c);
  }
  // What was read is routed; the round's end sends it, and what POLLOUT made room for.
  RequestRound();
}

// Reads a client and, once it is read empty after taking something, holds its next read for
// HubOptions::read_hold.
void Hub::Impl::ReadAfterHold(Client& c) {
  int packets = 0;
  const bool drained = ReadFrom(c, packets);
  c.held = drained && packets > 0 && options.read_hold.count() > 0;
  if (c.held) c.read_after = Clock::now() + options.read_hold;
}

void Hub::Impl::Close(Client& c, bool bad, WireError reason) {
  if (c.closed) return;
  if (bad) {
    bad_messages.fetch_add(1, std::memory_order_relaxed);
    // Best effort: the client learns why before the connection ends.
    const auto err = EncodeMessage(MsgType::kError, static_cast<std::uint32_t>(reason), 0,
                                   AsBytes("bad message"));
    ::send(c.fd, err.data(), err.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  }
  loop->Unwatch(c.fd);
  ::close(c.fd);
  c.fd = -1;
  c.closed = true;
  if (c.registered) {
    c.registered = false;
    clients_registered.fetch_sub(1, std::memory_order_relaxed);
    count_changed = true;
  }
  c.blocks.clear();
  c.block_bytes = 0;
  c.control.clear();
}

// Reads up to kReadBudget packets, several per system call, counting them in `packets`. True
// when the socket was read empty (or the client closed), false when more may wait.
bool Hub::Impl::ReadFrom(Client& c, int& packets) {
  std::array<mmsghdr, kRecvBatch> msgs{};
  std::array<iovec, kRecvBatch> iovs{};
  for (int read = 0; read < kReadBudget && !c.closed;) {
    if (!MayRead(c)) return true;  // paused: read again once the host resumes posters
    const std::size_t want = std::min<std::size_t>(kRecvBatch, kReadBudget - read);
    for (std::size_t i = 0; i < want; ++i) {
      iovs[i] = {recv_buffer.get() + i * kMaxMessage, kMaxMessage};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iovs[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const int got =
        ::recvmmsg(c.fd, msgs.data(), static_cast<unsigned>(want), MSG_DONTWAIT, nullptr);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
      Close(c, false);
      return true;
    }
    for (int i = 0; i < got && !c.closed; ++i) {
      const std::size_t n = msgs[i].msg_len;
      if (n == 0) {
        Close(c, false);  // peer closed
        return true;
      }
      if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) {
        Close(c, true, WireError::kOversized);
        return true;
      }
      const auto m = ParseMessage({recv_buffer.get() + i * kMaxMessage, n});
      if (!m) {
        Close(c, true, WireError::kMalformed);
        return true;
      }
      Handle(c, *m);
    }
    read += got;
    packets += got;
    if (static_cast<std::size_t>(got) < want) return true;  // drained
  }
  return c.closed;
}

void Hub::Impl::Reply(Client& c, std::uint32_t id, std::uint32_t status,
                      std::span<const std::uint8_t> payload, MsgType type) {
  if (c.control.size() >= kControlQueueBound) return;  // a client that never reads its replies
  c.control.push_back(EncodeMessage(type, id, status, payload));
}

void Hub::Impl::Handle(Client& c, const Message& m) {
  switch (m.type) {
    case MsgType::kRegister:
      if (c.registered) return Close(c, true, WireError::kBadField);
      c.registered = true;
      c.value = m.a;
      c.name.assign(AsText(m.payload));
      clients_registered.fetch_add(1, std::memory_order_relaxed);
      count_changed = true;
      return;
    case MsgType::kUnregister:
      if (!c.registered) return Close(c, true, WireError::kBadField);
      c.registered = false;
      c.blocks.clear();
      c.block_bytes = 0;
      clients_registered.fetch_sub(1, std::memory_order_relaxed);
      count_changed = true;
      return;
    case MsgType::kPost: {
      if (!c.registered) return Close(c, true, WireError::kBadField);
      // A host that observes posts is the bus's bridge: a monitor's frames go to it alone, and
      // every client gets them back as the bridge's delivery. Without a host (pelmo_hub alone)
      // a bridge can only be a client, so they are routed like any other block.
      const bool host_only = observer && IsForTheBridge(m.a);
      if (!host_only && HasRecipient(m.a, &c)) {
        Route(m.a,
              std::make_shared<const std::vector<std::uint8_t>>(
                  EncodeMessage(MsgType::kDeliver, m.a, 0, m.payload)),
              &c);
      }
      if (observer) {
        c.posts_to_host = true;
        observer(m.a, m.payload);
      }
      return;
    }
    case MsgType::kSetVar:
      vars[std::string(AsText(m.payload))] = static_cast<std::int32_t>(m.b);
      return Reply(c, m.a, 1);
    case MsgType::kGetVar: {
      const auto it = vars.find(std::string(AsText(m.payload)));
      if (it == vars.end()) return Reply(c, m.a, 0);
      const std::int32_t v = it->second;
      return Reply(c, m.a, 1, {reinterpret_cast<const std::uint8_t*>(&v), sizeof v});
    }
    case MsgType::kSetStr: {
      const auto text = AsText(m.payload);
      strings[std::string(text.substr(0, m.b))] = std::string(text.substr(m.b));
      return Reply(c, m.a, 1);
    }
    case MsgType::kGetStr: {
      const std::string name(AsText(m.payload));
      const auto it = strings.find(name);
      if (it == strings.end()) return Reply(c, m.a, 0);
      return Reply(c, m.a, 1, AsBytes(it->second));
    }
    case MsgType::kQuery: {
      const auto host = host_answers.find(std::string(AsText(m.payload)));
      if (host == host_answers.end()) return Reply(c, m.a, 0, {}, MsgType::kAnswer);
      std::vector<ClientView> views;
      for (const auto& other : clients) {
        if (other.registered)
          views.push_back({other.name, other.pid, other.blocks.size(), other.dropped});
      }
      std::string answer = host->second(views);
      if (answer.size() > kMaxPayload) answer.resize(kMaxPayload);
      return Reply(c, m.a, 1, AsBytes(answer), MsgType::kAnswer);
    }
    case MsgType::kDeliver:
    case MsgType::kReply:
    case MsgType::kInfo:
    case MsgType::kError:
    case MsgType::kAnswer:
      return Close(c, true, WireError::kMalformed);  // only the hub sends these
  }
}

bool Hub::Impl::HasRecipient(std::uint32_t code, const Client* sender) const {
  const std::uint32_t route = code & kRouteMask;
  return std::any_of(clients.begin(), clients.end(), [&](const Client& c) {
    return &c != sender && c.registered && (c.value & route) != 0;
  });
}

void Hub::Impl::Route(std::uint32_t code, const Packet& packet, const Client* sender) {
  const std::uint32_t route = code & kRouteMask;
  for (auto& c : clients) {
    if (&c == sender || !c.registered || (c.value & route) == 0) continue;
    if (c.blocks.size() >= options.client_queue_blocks ||
        c.block_bytes + packet->size() > options.client_queue_bytes) {
      ++c.dropped;
      c.info_pending = true;
      blocks_dropped.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    c.blocks.push_back(packet);
    c.block_bytes += packet->size();
    blocks_routed.fetch_add(1, std::memory_order_relaxed);
  }
}

void Hub::Impl::Flush(Client& c) {
  // Sends what is queued, several packets per system call: the info report first, then
  // replies, then blocks, each in order.
  if (c.closed || !c.HasOutput()) return;
  std::array<mmsghdr, kSendBatch> msgs{};
  std::array<iovec, kSendBatch> iovs{};
  std::vector<std::uint8_t> info;
  while (!c.closed && c.HasOutput()) {
    std::size_t count = 0;
    auto add = [&](const std::vector<std::uint8_t>& bytes) {
      iovs[count] = {const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
      msgs[count] = {};
      msgs[count].msg_hdr.msg_iov = &iovs[count];
      msgs[count].msg_hdr.msg_iovlen = 1;
      ++count;
    };
    const bool with_info = c.info_pending;
    if (with_info) {
      info = EncodeMessage(MsgType::kInfo, static_cast<std::uint32_t>(clients_registered.load()),
                           static_cast<std::uint32_t>(c.dropped));
      add(info);
    }
    for (std::size_t i = 0; i < c.control.size() && count < kSendBatch; ++i) add(c.control[i]);
    for (std::size_t i = 0; i < c.blocks.size() && count < kSendBatch; ++i) add(*c.blocks[i]);
    const int sent =
        ::sendmmsg(c.fd, msgs.data(), static_cast<unsigned>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;  // poll for POLLOUT
      Close(c, false);
      return;
    }
    std::size_t done = static_cast<std::size_t>(sent);
    if (with_info && done > 0) {
      c.info_pending = false;
      --done;
    }
    const std::size_t replies = std::min(done, c.control.size());
    c.control.erase(c.control.begin(), c.control.begin() + static_cast<std::ptrdiff_t>(replies));
    done -= replies;
    for (std::size_t i = 0; i < done; ++i) c.block_bytes -= c.blocks[i]->size();
    c.blocks.erase(c.blocks.begin(), c.blocks.begin() + static_cast<std::ptrdiff_t>(done));
    if (static_cast<std::size_t>(sent) < count) return;  // the socket is full
  }
}

void Hub::Impl::RequestRound() {
  if (round_requested) return;
  round_requested = true;
  loop->Defer([this, token = std::weak_ptr<int>(alive)] {
    if (token.lock()) EndRound();
  });
}

// Once per loop round with hub activity: reports changed client counts, sends what is queued,
// forgets closed clients and sets what each socket is watched for.
void Hub::Impl::EndRound() {
  round_requested = false;
  if (count_changed) {
    count_changed = false;
    for (auto& c : clients) c.info_pending = c.registered;
  }
  for (auto& c : clients) Flush(c);
  clients.remove_if([](const Client& c) { return c.closed; });
  const auto now = Clock::now();
  for (auto& c : clients) {
    // A client in its read hold, or paused, is watched for output only, and not at all while
    // it has none: any packet arriving on a watched socket would wake the loop, wanted or not.
    const bool readable = c.read_after <= now && MayRead(c);
    const short events =
        static_cast<short>((readable ? POLLIN : 0) | (c.HasOutput() ? POLLOUT : 0));
    if (events == c.events) continue;
    c.events = events;
    loop->SetEvents(c.fd, events);
  }
  ArmHoldTimer(now);
  largest_queue.store(LargestQueue(), std::memory_order_relaxed);
}

// Keeps one timer at the end of the earliest running read hold.
void Hub::Impl::ArmHoldTimer(Clock::time_point now) {
  std::optional<Clock::time_point> next;
  for (const auto& c : clients) {
    if (c.read_after > now && (!next || c.read_after < *next)) next = c.read_after;
  }
  if (hold_timer != 0 && next && *next == hold_timer_at) return;
  if (hold_timer != 0) loop->CancelTimer(hold_timer);
  hold_timer = 0;
  if (!next) return;
  hold_timer_at = *next;
  hold_timer = loop->AddTimer(*next, [this] {
    hold_timer = 0;
    EndRound();  // the clients whose hold ended are watched for input again
  });
}

void Hub::Impl::RoutePending() {
  std::vector<std::pair<std::uint32_t, Packet>> deliveries;
  {
    std::lock_guard lock(mutex);
    deliveries.swap(pending);
  }
  for (auto& [code, packet] : deliveries) Route(code, packet, nullptr);
  RequestRound();
}

// The host's last deliveries and what is queued go out as far as the sockets take them
// without waiting.
void Hub::Impl::FinalRound() {
  RoutePending();
  for (auto& c : clients) Flush(c);
}

std::size_t Hub::Impl::LargestQueue() const {
  std::size_t largest = 0;
  for (const auto& c : clients) largest = std::max(largest, c.blocks.size());
  return largest;
}

void Hub::Impl::ShutDown() {
  alive.reset();
  round_requested = false;
  if (hold_timer != 0) loop->CancelTimer(hold_timer);
  hold_timer = 0;
  for (auto& c : clients) Close(c, false);
  clients.clear();
  if (listen_fd >= 0) {
    loop->Unwatch(listen_fd);
    // Remove the socket file only if it is still ours (not a newer hub's).
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && st.st_ino == socket_inode) ::unlink(path.c_str());
    ::close(listen_fd);
    listen_fd = -1;
  }
  clients_registered.store(0);
  largest_queue.store(0);
}

Hub::Hub(HubOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  if (impl_->options.client_queue_blocks == 0) impl_->options.client_queue_blocks = 1;
  impl_->path = impl_->options.path.empty() ? DefaultBusPath() : impl_->options.path;
}

Hub::~Hub() { Stop(); }

void Hub::SetPostObserver(PostObserver observer) { impl_->observer = std::move(observer); }

void Hub::SetHostAnswer(std::string name, HostAnswer fn) {
  impl_->host_answers[std::move(name)] = std::move(fn);
}

// Binds the socket; the caller then serves it on a loop.
HubStart Hub::Impl::Open(std::string* error) {
  auto fail = [&](std::string why) {
    if (error) *error = std::move(why);
    if (listen_fd >= 0) ::close(listen_fd);
    listen_fd = -1;
    return HubStart::kFailed;
  };
  if (loop != nullptr) {
    if (error) *error = "hub already started";
    return HubStart::kFailed;
  }
  if (!PrepareBusDirectory(path, error)) return HubStart::kFailed;

  // Two hubs starting at once must not both take the path: check and bind under a lock file.
  const std::string lock_path = path + ".lock";
  const int lock_fd = ::open(lock_path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock_fd < 0) return fail("cannot open " + lock_path + ": " + std::strerror(errno));
  ::flock(lock_fd, LOCK_EX);
  struct LockGuard {
    int fd;
    ~LockGuard() { ::close(fd); }
  } guard{lock_fd};

  const int probe = ConnectBus(path);
  if (probe >= 0 || probe == -EAGAIN) {
    if (probe >= 0) ::close(probe);
    if (error) *error = "a hub already serves " + path;
    return HubStart::kAlreadyServed;
  }
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return fail(path + " exists and is not a socket");
    if (probe != -ECONNREFUSED) return fail("cannot probe " + path + ": " + std::strerror(-probe));
    ::unlink(path.c_str());  // stale: its hub is gone
  }

  listen_fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  if (::bind(listen_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return fail("cannot bind " + path + ": " + std::strerror(errno));
  }
  if (::listen(listen_fd, 128) != 0) {
    const std::string why = std::string("listen: ") + std::strerror(errno);
    ::unlink(path.c_str());
    return fail(why);
  }
  if (::lstat(path.c_str(), &st) == 0) socket_inode = st.st_ino;
  if (!recv_buffer) recv_buffer.reset(new std::uint8_t[kRecvBatch * kMaxMessage]);
  return HubStart::kStarted;
}

// Watches the listening socket on `loop`; from here on the loop's thread serves the bus.
void Hub::Impl::Serve() {
  alive = std::make_shared<int>(0);
  {
    std::lock_guard lock(mutex);
    running = true;
    pending.clear();
  }
  loop->Watch(listen_fd, POLLIN, [this](short) {
    Accept();
    RequestRound();
  });
}

HubStart Hub::Start(std::string* error) {
  Impl& d = *impl_;
  const HubStart opened = d.Open(error);
  if (opened != HubStart::kStarted) return opened;
  try {
    d.own_loop = std::make_unique<zelk::EventLoop>();
  } catch (const std::exception& e) {
    ::close(d.listen_fd);
    d.listen_fd = -1;
    ::unlink(d.path.c_str());
    if (error) *error = e.what();
    return HubStart::kFailed;
  }
  d.loop = d.own_loop.get();
  d.Serve();  // before the thread starts, which then owns the loop
  d.thread = std::thread([&d] { d.loop->Run(); });
  return HubStart::kStarted;
}

HubStart Hub::Start(zelk::EventLoop& loop, std::string* error) {
  Impl& d = *impl_;
  const HubStart opened = d.Open(error);
  if (opened != HubStart::kStarted) return opened;
  d.loop = &loop;
  d.Serve();
  return HubStart::kStarted;
}

void Hub::Stop() {
  Impl& d = *impl_;
  if (d.loop == nullptr) return;
  {
    std::lock_guard lock(d.mutex);
    d.running = false;
  }
  if (d.own_loop) {
    d.loop->Post([&d] {
      d.FinalRound();
      d.loop->Quit();
    });
    d.thread.join();
  } else {
    d.FinalRound();
  }
  d.ShutDown();
  d.pending.clear();
  d.loop = nullptr;
  d.own_loop.reset();
}

void Hub::Deliver(std::uint32_t code, std::span<const std::uint8_t> block) {
  Impl& d = *impl_;
  if (block.size() > kMaxPayload) {
    d.blocks_dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  auto packet = std::make_shared<const std::vector<std::uint8_t>>(
      EncodeMessage(MsgType::kDeliver, code, 0, block));
  if (d.OnCallersLoop()) {
    if (!d.alive) return;  // stopped
    d.Route(code, packet, nullptr);
    d.RequestRound();
    return;
  }
  std::lock_guard lock(d.mutex);
  if (!d.running) return;
  if (d.pending.size() >= kPendingDeliveryBound) {
    d.blocks_dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  // The hub thread takes the whole list, so only the first entry wakes it. The post stays
  // under the lock so Stop() cannot end the loop in between.
  if (d.pending.empty()) d.loop->Post([&d] { d.RoutePending(); });
  d.pending.emplace_back(code, std::move(packet));
}

void Hub::PausePosters(std::uint32_t reason) {
  // Takes effect at the next read; the round's end stops watching the paused clients.
  impl_->posters_paused.fetch_or(reason, std::memory_order_acq_rel);
}

void Hub::ResumePosters(std::uint32_t reason) {
  Impl& d = *impl_;
  const std::uint32_t was = d.posters_paused.fetch_and(~reason, std::memory_order_acq_rel);
  if (was == 0 || (was & ~reason) != 0) return;
  // The last reason is gone: the paused clients are watched for input again.
  if (d.OnCallersLoop()) {
    if (d.alive) d.RequestRound();
    return;
  }
  std::lock_guard lock(d.mutex);
  if (d.running) d.loop->Post([&d] { d.RequestRound(); });
}

void Hub::ReadHeldClients() {
  Impl& d = *impl_;
  if (!d.OnCallersLoop() || !d.alive) return;
  bool read = false;
  for (auto& c : d.clients) {
    if (c.closed || !c.held || !d.MayRead(c)) continue;
    d.ReadAfterHold(c);
    // The host's next hold end reads the client again; the hub's own timer, a little later,
    // only serves when the host's holds stop.
    if (c.held) c.read_after += d.options.read_hold / 4;
    read = true;
  }
  if (read) d.RequestRound();
}

const std::string& Hub::Path() const { return impl_->path; }

HubStats Hub::Stats() const {
  HubStats s;
  s.clients = impl_->clients_registered.load(std::memory_order_relaxed);
  s.blocks_routed = impl_->blocks_routed.load(std::memory_order_relaxed);
  s.blocks_dropped = impl_->blocks_dropped.load(std::memory_order_relaxed);
  s.bad_messages = impl_->bad_messages.load(std::memory_order_relaxed);
  return s;
}

std::size_t Hub::LargestClientBacklog() const {
  if (impl_->OnCallersLoop()) return impl_->LargestQueue();  // deliveries are routed at once
  std::size_t pending;
  {
    std::lock_guard lock(impl_->mutex);
    pending = impl_->pending.size();
  }
  return pending + impl_->largest_queue.load(std::memory_order_relaxed);
}

}  // namespace pelmo
