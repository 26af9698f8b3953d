// The hub thread owns the listening socket, every client socket and every client queue; only it
// reads or writes them. Other threads reach it through two things guarded by `mutex`: the
// pending deliveries handed over by Deliver() and the stop flag, each followed by a write to
// the wake eventfd. Counters are atomics so Stats() never waits for the hub thread.
#include "hub/hub.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
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

namespace pelmo {

namespace {

using Packet = std::shared_ptr<const std::vector<std::uint8_t>>;

// Replies waiting for a client that does not read are few; beyond this they are dropped.
constexpr std::size_t kControlQueueBound = 256;
// Host deliveries waiting for the hub thread; beyond this they are dropped and counted.
constexpr std::size_t kPendingDeliveryBound = 65536;
// Packets read from one client before the others get a turn.
constexpr int kReadBudget = 64;
// Packets read per recvmmsg call (each into a buffer of the largest packet size).
constexpr std::size_t kRecvBatch = 16;
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
  std::chrono::steady_clock::time_point read_after{};  // HubOptions::read_hold
  bool posts_to_host = false;  // it has posted blocks the host observes: paused with posters

  bool HasOutput() const { return info_pending || !control.empty() || !blocks.empty(); }
};

void WriteWake(int fd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto n = ::write(fd, &one, sizeof one);
}

}  // namespace

struct Hub::Impl {
  HubOptions options;
  std::string path;
  PostObserver observer;
  std::map<std::string, HostAnswer> host_answers;

  int listen_fd = -1;
  int wake_fd = -1;
  ino_t socket_inode = 0;
  std::thread thread;

  std::mutex mutex;
  bool stop = false;
  bool running = false;
  std::vector<std::pair<std::uint32_t, Packet>> pending;

  std::atomic<std::uint64_t> clients_registered{0};
  std::atomic<std::uint64_t> blocks_routed{0};
  std::atomic<std::uint64_t> blocks_dropped{0};
  std::atomic<std::uint64_t> bad_messages{0};
  std::atomic<std::size_t> largest_queue{0};  // blocks queued for the slowest client
  std::atomic<std::uint32_t> posters_paused{0};  // reasons given to PausePosters, as bits

  bool PostersPaused() const { return posters_paused.load(std::memory_order_acquire) != 0; }
  bool MayRead(const Client& c) const { return !c.posts_to_host || !PostersPaused(); }

  // Hub thread only.
  std::list<Client> clients;
  std::map<std::string, std::int32_t> vars;
  std::map<std::string, std::string> strings;
  std::vector<std::uint8_t> recv_buffer;
  bool count_changed = false;

  void Run();
  void Accept();
  bool ReadFrom(Client& c);
  void Handle(Client& c, const Message& m);
  bool HasRecipient(std::uint32_t code, const Client* sender) const;
  void Route(std::uint32_t code, const Packet& packet, const Client* sender);
  void Flush(Client& c);
  void Close(Client& c, bool bad, WireError reason = WireError::kMalformed);
  void Reply(Client& c, std::uint32_t id, std::uint32_t status,
             std::span<const std::uint8_t> payload = {}, MsgType type = MsgType::kReply);
  void ShutDown();
  void StoreLargestQueue();
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
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) c.pid = credentials.pid;
    clients.push_back(std::move(c));
  }
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

// Reads up to kReadBudget packets, several per system call. True when the socket was read
// empty (or the client closed), false when more may wait.
bool Hub::Impl::ReadFrom(Client& c) {
  std::array<mmsghdr, kRecvBatch> msgs{};
  std::array<iovec, kRecvBatch> iovs{};
  for (int read = 0; read < kReadBudget && !c.closed;) {
    if (!MayRead(c)) return true;  // paused: read again once the host resumes posters
    const std::size_t want = std::min<std::size_t>(kRecvBatch, kReadBudget - read);
    for (std::size_t i = 0; i < want; ++i) {
      iovs[i] = {recv_buffer.data() + i * kMaxMessage, kMaxMessage};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iovs[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const int got = ::recvmmsg(c.fd, msgs.data(), static_cast<unsigned>(want), MSG_DONTWAIT, nullptr);
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
      const auto m = ParseMessage({recv_buffer.data() + i * kMaxMessage, n});
      if (!m) {
        Close(c, true, WireError::kMalformed);
        return true;
      }
      Handle(c, *m);
    }
    read += got;
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
        if (other.registered) views.push_back({other.name, other.pid, other.blocks.size(), other.dropped});
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

void Hub::Impl::Run() {
  using Clock = std::chrono::steady_clock;
  std::vector<pollfd> fds;
  std::vector<Client*> polled;
  std::vector<std::pair<std::uint32_t, Packet>> deliveries;
  for (;;) {
    fds.clear();
    polled.clear();
    fds.push_back({wake_fd, POLLIN, 0});
    fds.push_back({listen_fd, POLLIN, 0});
    const auto now = Clock::now();
    std::optional<Clock::time_point> next_read;
    for (auto& c : clients) {
      // A client in its read hold is polled for output only, and left out while it has none:
      // any packet arriving on a polled socket would wake this thread, wanted or not.
      const bool readable = c.read_after <= now && MayRead(c);
      if (c.read_after > now && (!next_read || c.read_after < *next_read)) next_read = c.read_after;
      if (!readable && !c.HasOutput()) continue;
      fds.push_back({c.fd, static_cast<short>((readable ? POLLIN : 0) | (c.HasOutput() ? POLLOUT : 0)), 0});
      polled.push_back(&c);
    }
    timespec wait{};
    if (next_read) {
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*next_read - now).count();
      wait.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      wait.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    if (::ppoll(fds.data(), fds.size(), next_read ? &wait : nullptr, nullptr) < 0 && errno != EINTR) {
      break;
    }

    if (fds[0].revents & POLLIN) {
      std::uint64_t count;
      [[maybe_unused]] const auto n = ::read(wake_fd, &count, sizeof count);
      std::unique_lock lock(mutex);
      deliveries.swap(pending);
      if (stop) {
        // The host's last deliveries and what is queued go out as far as the sockets take
        // them without waiting; then the hub closes.
        lock.unlock();
        for (auto& [code, packet] : deliveries) Route(code, packet, nullptr);
        for (auto& c : clients) Flush(c);
        break;
      }
    }
    for (auto& [code, packet] : deliveries) Route(code, packet, nullptr);
    deliveries.clear();
    if (fds[1].revents & POLLIN) Accept();
    for (std::size_t i = 0; i < polled.size(); ++i) {
      const short ev = fds[i + 2].revents;
      if (ev & POLLNVAL) {
        Close(*polled[i], false);
      } else if (ev & (POLLIN | POLLHUP | POLLERR)) {
        // A closed peer is read to its end first: its last posts still count.
        const bool drained = ReadFrom(*polled[i]);
        if (drained && options.read_hold.count() > 0) polled[i]->read_after = Clock::now() + options.read_hold;
      }
    }
    if (count_changed) {
      count_changed = false;
      for (auto& c : clients) c.info_pending = c.registered;
    }
    for (auto& c : clients) Flush(c);
    clients.remove_if([](const Client& c) { return c.closed; });
    StoreLargestQueue();
  }
}

void Hub::Impl::StoreLargestQueue() {
  std::size_t largest = 0;
  for (const auto& c : clients) largest = std::max(largest, c.blocks.size());
  largest_queue.store(largest, std::memory_order_relaxed);
}

void Hub::Impl::ShutDown() {
  for (auto& c : clients) Close(c, false);
  clients.clear();
  if (listen_fd >= 0) {
    // Remove the socket file only if it is still ours (not a newer hub's).
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && st.st_ino == socket_inode) ::unlink(path.c_str());
    ::close(listen_fd);
    listen_fd = -1;
  }
  if (wake_fd >= 0) {
    ::close(wake_fd);
    wake_fd = -1;
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

HubStart Hub::Start(std::string* error) {
  Impl& d = *impl_;
  auto fail = [&](std::string why) {
    if (error) *error = std::move(why);
    if (d.listen_fd >= 0) ::close(d.listen_fd);
    d.listen_fd = -1;
    return HubStart::kFailed;
  };
  if (d.thread.joinable()) return fail("hub already started");
  if (!PrepareBusDirectory(d.path, error)) return HubStart::kFailed;

  // Two hubs starting at once must not both take the path: check and bind under a lock file.
  const std::string lock_path = d.path + ".lock";
  const int lock_fd = ::open(lock_path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock_fd < 0) return fail("cannot open " + lock_path + ": " + std::strerror(errno));
  ::flock(lock_fd, LOCK_EX);
  struct LockGuard {
    int fd;
    ~LockGuard() { ::close(fd); }
  } guard{lock_fd};

  const int probe = ConnectBus(d.path);
  if (probe >= 0 || probe == -EAGAIN) {
    if (probe >= 0) ::close(probe);
    if (error) *error = "a hub already serves " + d.path;
    return HubStart::kAlreadyServed;
  }
  struct stat st;
  if (::lstat(d.path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return fail(d.path + " exists and is not a socket");
    if (probe != -ECONNREFUSED)
      return fail("cannot probe " + d.path + ": " + std::strerror(-probe));
    ::unlink(d.path.c_str());  // stale: its hub is gone
  }

  d.listen_fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (d.listen_fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, d.path.data(), d.path.size());
  if (::bind(d.listen_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return fail("cannot bind " + d.path + ": " + std::strerror(errno));
  }
  if (::listen(d.listen_fd, 128) != 0) {
    const std::string why = std::string("listen: ") + std::strerror(errno);
    ::unlink(d.path.c_str());
    return fail(why);
  }
  if (::lstat(d.path.c_str(), &st) == 0) d.socket_inode = st.st_ino;
  d.wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (d.wake_fd < 0) {
    ::unlink(d.path.c_str());
    return fail(std::string("eventfd: ") + std::strerror(errno));
  }
  d.recv_buffer.resize(kRecvBatch * kMaxMessage);
  {
    std::lock_guard lock(d.mutex);
    d.stop = false;
    d.running = true;
    d.pending.clear();
  }
  d.thread = std::thread([&d] { d.Run(); });
  return HubStart::kStarted;
}

void Hub::Stop() {
  Impl& d = *impl_;
  if (!d.thread.joinable()) return;
  {
    std::lock_guard lock(d.mutex);
    d.stop = true;
    d.running = false;
  }
  WriteWake(d.wake_fd);
  d.thread.join();
  d.pending.clear();
  d.ShutDown();
}

void Hub::Deliver(std::uint32_t code, std::span<const std::uint8_t> block) {
  Impl& d = *impl_;
  if (block.size() > kMaxPayload) {
    d.blocks_dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  auto packet = std::make_shared<const std::vector<std::uint8_t>>(
      EncodeMessage(MsgType::kDeliver, code, 0, block));
  {
    std::lock_guard lock(d.mutex);
    if (!d.running) return;
    if (d.pending.size() >= kPendingDeliveryBound) {
      d.blocks_dropped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    // The hub thread takes the whole list after each wake, so only the first entry wakes it.
    // The write stays under the lock so Stop() cannot close the eventfd in between.
    if (d.pending.empty()) WriteWake(d.wake_fd);
    d.pending.emplace_back(code, std::move(packet));
  }
}

void Hub::PausePosters(std::uint32_t reason) {
  impl_->posters_paused.fetch_or(reason, std::memory_order_acq_rel);
}

void Hub::ResumePosters(std::uint32_t reason) {
  Impl& d = *impl_;
  const std::uint32_t was = d.posters_paused.fetch_and(~reason, std::memory_order_acq_rel);
  if (was == 0 || (was & ~reason) != 0) return;
  // The last reason is gone: wake the hub thread to poll the paused clients again.
  std::lock_guard lock(d.mutex);
  if (d.running) WriteWake(d.wake_fd);
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
  std::size_t pending;
  {
    std::lock_guard lock(impl_->mutex);
    pending = impl_->pending.size();
  }
  return pending + impl_->largest_queue.load(std::memory_order_relaxed);
}

}  // namespace pelmo
