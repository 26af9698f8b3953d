// The client side of the bus: one I/O thread per process and one hub connection per window.
//
// Threads and ownership:
// - The I/O thread is started by the first pmRegister and joined by the pmUnregister that
//   removes the last window, so once that call returns no library thread runs and no post
//   function is called again (dlclose is safe). It alone connects, reads, writes and closes the
//   hub sockets, and it alone calls the windows' post functions.
// - Caller threads (any thread, any entry point) touch only the shared state under `mutex_`:
//   the window table, each window's outgoing queue, the request table. They wake the I/O
//   thread through an eventfd. Delivered blocks live in the BlockStore, which has its own lock.
// - `registry_mutex_` serialises the register/unregister calls that start and join the thread.
//   A call made on the I/O thread itself (from inside a post function) never takes it and
//   never waits for the thread: such an unregister removes the window at once and, if it was
//   the last one, lets the thread end by itself; it is joined by the next pmRegister or at exit.
//
// Flow control: a post never waits, connected or not, the way a window's PostMessage never
// waits. Each window holds at most kQueueBound posts not yet written to its socket (the ones the
// I/O thread has taken out for sending count until they are written). A post that finds its
// window at the bound is refused: pmPostData returns 0, nothing is queued, and the refusal is
// counted in PM_INFO_DROPPED_POSTS. A producer that must not lose data retries a refused post
// after a short pause; PM_INFO_QUEUED_POSTS tells it how much is still waiting. pmUnregister of
// a connected window first waits (up to kUnregisterWait) until its queued posts are on the
// socket, so a tool that posts and exits loses nothing while the hub reads; whatever is still
// queued after that (offline, or a stalled hub) is discarded.
//
// Trust: a connection is kept only when the hub's process runs as this user or as root
// (HubTrusted), and a window counts as on the bus once the hub has answered its registration.
// Each window keeps why it is not (its offline reason, PM_INFO_OFFLINE_REASON); the library
// goes on retrying whatever the reason, quietly, and leaves it to the program to give up.
//
// Delivered blocks: a window that fetches its blocks in order but falls kReadMark blocks
// behind has its socket left unread until it catches up, so the hub's queue for it fills and
// a producer that paces itself on that queue (a full-speed replay) slows down instead of the
// oldest blocks being dropped here. A window that has not fetched for kFetchGrace (a paused
// monitor, a window that never fetches) is read on as before, beyond it the oldest go.
#include "pelmo/bus_client.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "hub/bus_path.h"
#include "hub/hub.h"
#include "hub/protocol.h"
#include "pelmo/block_store.h"

namespace pelmo {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kQueueBound = 4096;
constexpr milliseconds kUnregisterWait{250};
constexpr milliseconds kRequestTimeout{1000};
constexpr milliseconds kFirstBackoff{20};
constexpr milliseconds kMaxBackoff{500};
constexpr int kReadBudget = 64;
constexpr std::size_t kSendBatch = 64;
// Packets read per recvmmsg call (each with a buffer of the largest packet size).
constexpr std::size_t kRecvBatch = 8;
// Reading pauses for a window this many blocks behind (about 8 MiB of full blocks, far below
// the backlog's bound) while it fetched within kFetchGrace; it is looked at again every
// kReadPausePoll.
constexpr std::size_t kReadMark = 2048;
constexpr milliseconds kFetchGrace{2000};
constexpr milliseconds kReadPausePoll{1};

struct Outgoing {
  std::vector<std::uint8_t> bytes;
  bool is_post;  // posts survive a reconnect; registrations and requests do not
};

struct Window {
  pm_window* key = nullptr;
  pm_post_fn post = nullptr;
  void* context = nullptr;
  std::uint32_t value = 0;
  std::string name;
  std::string path;
  std::atomic<bool> active{true};  // cleared by unregister; no post call once it is false
  std::atomic<std::uint32_t> offline{PM_OFFLINE_CONNECTING};  // written by the I/O thread

  // Guarded by mutex_.
  bool connected = false;
  std::deque<Outgoing> out;
  std::size_t queued_posts = 0;  // posts in `out` plus those taken out and not yet written
  // I/O thread only.
  int fd = -1;
  Clock::time_point next_attempt{};
  milliseconds backoff = kFirstBackoff;
  std::uint32_t hub_dropped_seen = 0;
};
using WindowPtr = std::shared_ptr<Window>;

struct Request {
  const Window* window;
  bool done = false;
  bool ok = false;
  std::vector<std::uint8_t> payload;
};

struct Note {
  WindowPtr window;
  std::uint32_t code;
  std::uint32_t handle;
};

class BusClient {
 public:
  ~BusClient();

  int Register(pm_window* window, std::uint32_t value, const char* name);
  int Unregister(pm_window* window);
  int Post(pm_window* window, std::uint32_t code, const void* data, std::uint32_t length);
  std::optional<Request> Call(std::vector<std::uint8_t> message, std::uint32_t id);
  std::uint32_t NextRequestId();
  int Info(std::uint32_t key, std::uint64_t* value) const;

  BlockStore& Store() { return store_; }

 private:
  bool OnIoThread() const { return std::this_thread::get_id() == io_thread_id_.load(); }
  void Wake();  // with mutex_ held
  void Run();
  void TryConnect(const WindowPtr& w, Clock::time_point now);
  void Disconnect(const WindowPtr& w, Clock::time_point now);
  void Read(const WindowPtr& w, std::vector<std::uint8_t>& buffer, std::vector<Note>& notes);
  bool Handle(const WindowPtr& w, const mmsghdr& packet, std::vector<Note>& notes);
  // batch: the I/O thread's scratch queue, empty on entry and on return (it keeps its storage,
  // so a loop round with nothing to send allocates nothing).
  void Flush(const WindowPtr& w, Clock::time_point now, std::deque<Outgoing>& batch);
  void Notify(std::vector<Note>& notes);
  void FailRequests(const Window* w);  // with mutex_ held
  void DiscardPosts(Window& w);        // with mutex_ held
  void JoinStoppedThread(std::unique_lock<std::mutex>& lock);
  std::uint32_t OfflineReason() const;  // the highest over the registered windows

  std::mutex registry_mutex_;
  mutable std::mutex mutex_;
  std::condition_variable callback_done_;
  std::condition_variable drained_;  // a window's queued posts went out, or it disconnected
  std::condition_variable replies_;

  // Guarded by mutex_.
  std::map<pm_window*, WindowPtr> windows_;
  std::vector<WindowPtr> retired_;  // unregistered; the I/O thread says goodbye and closes
  std::map<std::uint32_t, Request> requests_;
  std::uint32_t last_request_id_ = 0;
  bool stop_ = false;
  bool in_callback_ = false;
  int wake_fd_ = -1;
  std::thread thread_;
  std::atomic<std::thread::id> io_thread_id_{};

  std::atomic<std::uint64_t> connected_{0};
  std::atomic<std::uint64_t> clients_{0};
  std::atomic<std::uint64_t> dropped_posts_{0};
  std::atomic<std::uint64_t> queued_posts_{0};  // sum of the windows' queued_posts
  std::atomic<std::uint64_t> hub_drops_{0};
  std::atomic<std::uint64_t> registered_{0};

  BlockStore store_;
};

BusClient& Client() {
  static BusClient client;
  return client;
}

BusClient::~BusClient() {
  // A process that exits with windows still registered: end the thread before the state goes.
  std::unique_lock lock(mutex_);
  if (!thread_.joinable()) return;
  stop_ = true;
  Wake();
  if (OnIoThread()) {
    thread_.detach();  // exit() from inside a post function: the thread cannot join itself
    return;
  }
  lock.unlock();
  thread_.join();
  ::close(wake_fd_);
}

void BusClient::Wake() {
  const std::uint64_t one = 1;
  if (wake_fd_ >= 0) [[maybe_unused]]
    auto n = ::write(wake_fd_, &one, sizeof one);
}

void BusClient::JoinStoppedThread(std::unique_lock<std::mutex>& lock) {
  if (!thread_.joinable()) return;
  lock.unlock();
  thread_.join();
  lock.lock();
  ::close(wake_fd_);
  wake_fd_ = -1;
}

int BusClient::Register(pm_window* window, std::uint32_t value, const char* name) {
  if (!window || !window->post) return 0;
  auto w = std::make_shared<Window>();
  w->key = window;
  w->post = window->post;
  w->context = window->context;
  w->value = value;
  if (name) w->name.assign(name, ::strnlen(name, PM_MAX_NAME));
  w->path = DefaultBusPath();

  if (OnIoThread()) {
    // From inside a post function: the thread is running, unless it is already ending.
    std::lock_guard lock(mutex_);
    if (stop_ || windows_.count(window)) return 0;
    windows_.emplace(window, std::move(w));
    registered_.fetch_add(1);
    Wake();
    return 1;
  }
  std::lock_guard registry(registry_mutex_);
  std::unique_lock lock(mutex_);
  if (windows_.count(window)) return 0;
  if (stop_) JoinStoppedThread(lock);  // the last window went away from inside a post function
  if (!thread_.joinable()) {
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) return 0;
    stop_ = false;
    retired_.clear();
    thread_ = std::thread([this] { Run(); });
  }
  windows_.emplace(window, std::move(w));
  registered_.fetch_add(1);
  Wake();
  return 1;
}

int BusClient::Unregister(pm_window* window) {
  if (!window) return 0;
  const bool on_io = OnIoThread();
  std::unique_lock<std::mutex> registry;
  if (!on_io) registry = std::unique_lock(registry_mutex_);
  std::unique_lock lock(mutex_);
  auto it = windows_.find(window);
  if (it == windows_.end()) return 0;
  WindowPtr w = it->second;
  if (!on_io && w->connected && w->queued_posts != 0) {
    // Posts made just before unregistering (a tool that sends and exits) still reach the hub:
    // wait, bounded, until the I/O thread has written them to the socket. Short, so that
    // closing a window whose hub has stalled does not hang.
    drained_.wait_for(lock, kUnregisterWait, [&] { return w->queued_posts == 0 || !w->connected; });
    it = windows_.find(window);
    if (it == windows_.end()) return 0;  // its own post function unregistered it meanwhile
  }
  windows_.erase(it);
  w->active.store(false);
  DiscardPosts(*w);
  registered_.fetch_sub(1);
  FailRequests(w.get());
  retired_.push_back(w);
  const bool last = windows_.empty();
  if (last) stop_ = true;
  Wake();
  if (on_io) {
    // The thread sees stop_ after the current post function returns and ends by itself.
    store_.DropOwner(w.get());
    return 1;
  }
  if (last) {
    JoinStoppedThread(lock);
    retired_.clear();
    lock.unlock();
    store_.Clear();
    return 1;
  }
  // A post function of this window may be running right now; wait until it has returned.
  callback_done_.wait(lock, [this] { return !in_callback_; });
  lock.unlock();
  store_.DropOwner(w.get());
  return 1;
}

int BusClient::Post(pm_window* window, std::uint32_t code, const void* data, std::uint32_t length) {
  if (!window || (length > 0 && !data) || length > PM_MAX_BLOCK) return 0;
  Outgoing msg{
      EncodeMessage(MsgType::kPost, code, 0, {static_cast<const std::uint8_t*>(data), length}),
      true};
  std::lock_guard lock(mutex_);
  auto it = windows_.find(window);
  if (it == windows_.end()) return 0;
  Window& w = *it->second;
  if (w.queued_posts >= kQueueBound) {
    // Refused, never waited for: the caller learns it from the 0 and may retry.
    dropped_posts_.fetch_add(1);
    return 0;
  }
  if (w.out.empty()) Wake();
  w.out.push_back(std::move(msg));
  ++w.queued_posts;
  queued_posts_.fetch_add(1);
  return 1;
}

std::uint32_t BusClient::NextRequestId() {
  std::lock_guard lock(mutex_);
  if (++last_request_id_ == 0) ++last_request_id_;
  return last_request_id_;
}

std::optional<Request> BusClient::Call(std::vector<std::uint8_t> message, std::uint32_t id) {
  if (OnIoThread()) return std::nullopt;  // the reply could never be read
  std::unique_lock lock(mutex_);
  WindowPtr via;
  for (auto& [key, w] : windows_) {
    if (w->connected) {
      via = w;
      break;
    }
  }
  if (!via) return std::nullopt;
  requests_[id] = Request{via.get(), false, false, {}};
  if (via->out.empty()) Wake();
  via->out.push_back({std::move(message), false});
  replies_.wait_for(lock, kRequestTimeout, [&] { return requests_[id].done; });
  Request result = std::move(requests_[id]);
  requests_.erase(id);
  if (!result.done || !result.ok) return std::nullopt;
  return result;
}

void BusClient::FailRequests(const Window* w) {
  bool any = false;
  for (auto& [id, r] : requests_) {
    if (r.window == w && !r.done) {
      r.done = true;
      r.ok = false;
      any = true;
    }
  }
  if (any) replies_.notify_all();
}

void BusClient::DiscardPosts(Window& w) {
  const std::size_t n = std::erase_if(w.out, [](const Outgoing& o) { return o.is_post; });
  w.queued_posts -= n;
  queued_posts_.fetch_sub(n);
}

int BusClient::Info(std::uint32_t key, std::uint64_t* value) const {
  if (!value) return 0;
  switch (key) {
    case PM_INFO_CONNECTED:
      *value = connected_.load() > 0 ? 1 : 0;
      return 1;
    case PM_INFO_CLIENTS:
      *value = clients_.load();
      return 1;
    case PM_INFO_DROPPED_POSTS:
      *value = dropped_posts_.load();
      return 1;
    case PM_INFO_DROPPED_BLOCKS:
      *value = store_.Dropped();
      return 1;
    case PM_INFO_HUB_DROPS:
      *value = hub_drops_.load();
      return 1;
    case PM_INFO_REGISTERED:
      *value = registered_.load();
      return 1;
    case PM_INFO_QUEUED_POSTS:
      *value = queued_posts_.load();
      return 1;
    case PM_INFO_OFFLINE_REASON:
      *value = OfflineReason();
      return 1;
    default:
      return 0;
  }
}

std::uint32_t BusClient::OfflineReason() const {
  std::lock_guard lock(mutex_);
  std::uint32_t worst = PM_OFFLINE_NONE;
  for (const auto& [key, w] : windows_) worst = std::max(worst, w->offline.load());
  return worst;
}

// ---- I/O thread ----

// Why a connect() to the bus address failed, as an offline reason.
std::uint32_t ReasonForConnectError(int error) {
  switch (error) {
    case ENOENT:
    case ECONNREFUSED:
      return PM_OFFLINE_NO_HUB;
    case EAGAIN:
      return PM_OFFLINE_CONNECTING;  // the hub's backlog is full: it is there, and busy
    case EACCES:
    case EPERM:
      return PM_OFFLINE_NOT_PERMITTED;
    default:
      return PM_OFFLINE_ERROR;
  }
}

// Connects to the bus address and keeps the connection only if the hub is trusted; the fd, or
// -1 with the window's offline reason set.
int ConnectTrustedHub(Window& w) {
  const int fd = ConnectBus(w.path);
  if (fd < 0) {
    w.offline.store(ReasonForConnectError(-fd));
    return -1;
  }
  if (!HubTrusted(fd)) {
    ::close(fd);
    w.offline.store(PM_OFFLINE_HUB_OF_OTHER_USER);
    return -1;
  }
  // Connected to a trusted hub: what kept the window off before no longer holds, except a
  // refusal by the hub, which it repeats on each attempt (the reason must not flicker meanwhile).
  if (w.offline.load() != PM_OFFLINE_REFUSED_BY_HUB) w.offline.store(PM_OFFLINE_CONNECTING);
  return fd;
}

// Whether a packet is the hub's refusal of this process's user.
bool IsWrongPeerError(std::span<const std::uint8_t> packet) {
  const auto m = ParseMessage(packet);
  return m && m->type == MsgType::kError &&
         m->a == static_cast<std::uint32_t>(WireError::kWrongPeer);
}

// Reads what is left on a connection about to close, for the hub's refusal: a hub that refuses
// this user closes at once, so writing the registration can fail before its error was read. A
// hub that closed with our registration unread leaves ECONNRESET pending; the kernel reports it
// on the first read and the queued packets after it.
void NoteRefusal(Window& w) {
  std::array<std::uint8_t, kHeaderSize + 256> buffer;  // error messages are short
  for (int i = 0; i < 16; ++i) {
    const ssize_t n = ::recv(w.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) return;
    if (n < 0) continue;
    if (IsWrongPeerError({buffer.data(), static_cast<std::size_t>(n)})) {
      w.offline.store(PM_OFFLINE_REFUSED_BY_HUB);
      return;
    }
  }
}

void BusClient::TryConnect(const WindowPtr& w, Clock::time_point now) {
  const int fd = ConnectTrustedHub(*w);
  if (fd < 0) {
    w->next_attempt = now + w->backoff;
    w->backoff = std::min(w->backoff * 2, kMaxBackoff);
    return;
  }
  w->fd = fd;
  w->hub_dropped_seen = 0;
  std::lock_guard lock(mutex_);
  w->connected = true;
  connected_.fetch_add(1);
  // The registration goes ahead of the posts queued while offline.
  w->out.push_front({EncodeMessage(MsgType::kRegister, w->value, 0, AsBytes(w->name)), false});
}

void BusClient::Disconnect(const WindowPtr& w, Clock::time_point now) {
  if (w->fd < 0) return;
  NoteRefusal(*w);
  ::close(w->fd);
  w->fd = -1;
  w->next_attempt = now + w->backoff;
  w->backoff = std::min(w->backoff * 2, kMaxBackoff);
  // A refusal stays the reason until a hub accepts the window.
  std::uint32_t on_bus = PM_OFFLINE_NONE;
  w->offline.compare_exchange_strong(on_bus, PM_OFFLINE_CONNECTING);
  std::lock_guard lock(mutex_);
  if (w->connected) connected_.fetch_sub(1);
  w->connected = false;
  std::erase_if(w->out, [](const Outgoing& o) { return !o.is_post; });
  FailRequests(w.get());
  drained_.notify_all();
}

void BusClient::Read(const WindowPtr& w, std::vector<std::uint8_t>& buffer,
                     std::vector<Note>& notes) {
  // Several packets per system call; buffer holds kRecvBatch packets of the largest size.
  std::array<mmsghdr, kRecvBatch> msgs{};
  std::array<iovec, kRecvBatch> iovs{};
  for (int round = 0; round < kReadBudget / static_cast<int>(kRecvBatch) && w->fd >= 0; ++round) {
    for (std::size_t i = 0; i < kRecvBatch; ++i) {
      iovs[i] = {buffer.data() + i * kMaxMessage, kMaxMessage};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iovs[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const int got = ::recvmmsg(w->fd, msgs.data(), kRecvBatch, MSG_DONTWAIT, nullptr);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (got <= 0) {
      Disconnect(w, Clock::now());
      return;
    }
    for (int i = 0; i < got && w->fd >= 0; ++i) {
      if (!Handle(w, msgs[i], notes)) {
        // Closed, or a message no hub sends: start over with a fresh connection.
        Disconnect(w, Clock::now());
        return;
      }
    }
    if (got < static_cast<int>(kRecvBatch)) return;  // drained
  }
}

bool BusClient::Handle(const WindowPtr& w, const mmsghdr& packet, std::vector<Note>& notes) {
  const std::size_t n = packet.msg_len;
  if (n == 0 || (packet.msg_hdr.msg_flags & MSG_TRUNC)) return false;
  const auto m =
      ParseMessage({static_cast<const std::uint8_t*>(packet.msg_hdr.msg_iov->iov_base), n});
  if (!m) return false;
  switch (m->type) {
    case MsgType::kDeliver:
      if (w->active.load()) {
        const std::uint32_t handle = store_.Add(w.get(), m->payload);
        notes.push_back({w, m->a, handle});
      }
      break;
    case MsgType::kReply: {
      std::lock_guard lock(mutex_);
      const auto it = requests_.find(m->a);
      if (it != requests_.end() && !it->second.done) {
        it->second.done = true;
        it->second.ok = m->b != 0;
        it->second.payload.assign(m->payload.begin(), m->payload.end());
        replies_.notify_all();
      }
      break;
    }
    case MsgType::kInfo:
      // The hub has accepted the registration: the next outage starts the back-off afresh.
      w->backoff = kFirstBackoff;
      w->offline.store(PM_OFFLINE_NONE);
      clients_.store(m->a);
      if (m->b > w->hub_dropped_seen) hub_drops_.fetch_add(m->b - w->hub_dropped_seen);
      w->hub_dropped_seen = m->b;
      break;
    case MsgType::kError:
      // The hub closes the connection next and the reconnect handles it; a refusal of this
      // user is remembered as the reason.
      if (m->a == static_cast<std::uint32_t>(WireError::kWrongPeer)) {
        w->offline.store(PM_OFFLINE_REFUSED_BY_HUB);
      }
      break;
    default:
      break;
  }
  return true;
}

void BusClient::Flush(const WindowPtr& w, Clock::time_point now, std::deque<Outgoing>& batch) {
  while (w->fd >= 0) {
    {
      std::lock_guard lock(mutex_);
      if (w->out.empty()) return;
      const std::size_t take = std::min(kSendBatch, w->out.size());
      for (std::size_t i = 0; i < take; ++i) {
        batch.push_back(std::move(w->out.front()));
        w->out.pop_front();
      }
    }
    bool failed = false;
    bool blocked = false;
    std::size_t sent_posts = 0;
    while (!batch.empty()) {
      const auto& bytes = batch.front().bytes;
      if (::send(w->fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
        blocked = errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        failed = !blocked;
        break;
      }
      if (batch.front().is_post) ++sent_posts;
      batch.pop_front();
    }
    {
      std::lock_guard lock(mutex_);
      w->queued_posts -= sent_posts;
      queued_posts_.fetch_sub(sent_posts);
      // Unsent messages go back to the front, in order.
      while (!batch.empty()) {
        w->out.push_front(std::move(batch.back()));
        batch.pop_back();
      }
      // Unregistered meanwhile: its posts were discarded, and so are these.
      if (!w->active.load()) DiscardPosts(*w);
      drained_.notify_all();
    }
    if (failed) Disconnect(w, now);
    if (failed || blocked) return;
  }
}

void BusClient::Notify(std::vector<Note>& notes) {
  if (notes.empty()) return;
  {
    std::lock_guard lock(mutex_);
    in_callback_ = true;
  }
  for (const Note& n : notes) {
    // An unregister that cleared `active` waits for in_callback_ to fall before returning.
    if (n.window->active.load()) {
      n.window->post(n.window->context, PM_WM_BUS_NOTIFY, n.code, static_cast<intptr_t>(n.handle));
    }
  }
  notes.clear();
  {
    std::lock_guard lock(mutex_);
    in_callback_ = false;
  }
  callback_done_.notify_all();
}

void BusClient::Run() {
  io_thread_id_.store(std::this_thread::get_id());
  std::vector<std::uint8_t> buffer(kRecvBatch * kMaxMessage);
  std::vector<WindowPtr> live;
  std::vector<WindowPtr> polled;
  std::vector<pollfd> fds;
  std::vector<Note> notes;
  std::deque<Outgoing> batch;
  std::vector<WindowPtr> retired;
  for (;;) {
    const auto now = Clock::now();
    int timeout = -1;
    {
      std::lock_guard lock(mutex_);
      if (stop_) break;
      retired.swap(retired_);
      live.clear();
      for (auto& [key, w] : windows_) live.push_back(w);
    }
    for (auto& w : retired) {
      if (w->fd >= 0) {
        const auto bye = EncodeMessage(MsgType::kUnregister, 0, 0);
        ::send(w->fd, bye.data(), bye.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        Disconnect(w, now);
      }
    }
    retired.clear();

    fds.clear();
    polled.clear();
    fds.push_back({wake_fd_, POLLIN, 0});
    for (auto& w : live) {
      if (w->fd < 0) {
        if (w->next_attempt <= now) TryConnect(w, now);
      }
      if (w->fd < 0) {
        const auto wait = std::chrono::ceil<milliseconds>(w->next_attempt - now).count();
        timeout = timeout < 0 ? static_cast<int>(wait) : std::min(timeout, static_cast<int>(wait));
        continue;
      }
      Flush(w, now, batch);
      if (w->fd < 0) continue;
      bool pending;
      {
        std::lock_guard lock(mutex_);
        pending = !w->out.empty();
      }
      const BlockStore::Backlog backlog = store_.BacklogOf(w.get());
      const bool read = backlog.blocks < kReadMark || now - backlog.last_fetch >= kFetchGrace;
      if (!read) {
        const auto wait = static_cast<int>(kReadPausePoll.count());
        timeout = timeout < 0 ? wait : std::min(timeout, wait);
      }
      fds.push_back({w->fd, static_cast<short>((read ? POLLIN : 0) | (pending ? POLLOUT : 0)), 0});
      polled.push_back(w);
    }
    if (timeout == 0) continue;

    if (::poll(fds.data(), fds.size(), timeout) < 0) continue;  // EINTR
    if (fds[0].revents & POLLIN) {
      std::uint64_t count;
      [[maybe_unused]] const auto n = ::read(wake_fd_, &count, sizeof count);
    }
    for (std::size_t i = 0; i < polled.size(); ++i) {
      const short ev = fds[i + 1].revents;
      if (ev & POLLIN) {
        Read(polled[i], buffer, notes);
      } else if (ev & (POLLHUP | POLLERR | POLLNVAL)) {
        Disconnect(polled[i], Clock::now());
      }
    }
    Notify(notes);
  }
  // Leaving: close every connection (the hub unregisters a closed connection by itself).
  const auto now = Clock::now();
  std::vector<WindowPtr> all;
  {
    std::lock_guard lock(mutex_);
    for (auto& [key, w] : windows_) all.push_back(w);
    for (auto& w : retired_) all.push_back(w);
    retired_.clear();
  }
  for (auto& w : all) Disconnect(w, now);
  io_thread_id_.store(std::thread::id());
}

}  // namespace

int ClientRegister(pm_window* window, std::uint32_t value, const char* name) {
  return Client().Register(window, value, name);
}

int ClientUnregister(pm_window* window) { return Client().Unregister(window); }

int ClientPost(pm_window* window, std::uint32_t code, const void* data, std::uint32_t length) {
  return Client().Post(window, code, data, length);
}

const void* ClientFetch(std::uint32_t handle, std::uint32_t* byte_count) {
  return Client().Store().Fetch(handle, byte_count);
}

namespace {

bool ValidName(const char* name) {
  if (!name) return false;
  const std::size_t n = ::strnlen(name, PM_MAX_NAME + 1);
  return n >= 1 && n <= PM_MAX_NAME;
}

}  // namespace

int ClientGetVar(const char* name, std::int32_t* value) {
  if (!ValidName(name) || !value) return 0;
  BusClient& c = Client();
  const std::uint32_t id = c.NextRequestId();
  const auto reply = c.Call(EncodeMessage(MsgType::kGetVar, id, 0, AsBytes(name)), id);
  if (!reply || reply->payload.size() != sizeof(std::int32_t)) return 0;
  std::memcpy(value, reply->payload.data(), sizeof(std::int32_t));
  return 1;
}

int ClientSetVar(const char* name, std::int32_t value) {
  if (!ValidName(name)) return 0;
  BusClient& c = Client();
  const std::uint32_t id = c.NextRequestId();
  return c.Call(
             EncodeMessage(MsgType::kSetVar, id, static_cast<std::uint32_t>(value), AsBytes(name)),
             id)
             ? 1
             : 0;
}

int ClientGetStr(const char* name, char* buffer, std::uint32_t buffer_size) {
  if (!ValidName(name) || (!buffer && buffer_size > 0)) return 0;
  BusClient& c = Client();
  const std::uint32_t id = c.NextRequestId();
  const auto reply = c.Call(EncodeMessage(MsgType::kGetStr, id, 0, AsBytes(name)), id);
  if (!reply) return 0;
  const std::size_t n = reply->payload.size();
  if (buffer_size > 0) {
    const std::size_t copied = std::min<std::size_t>(n, buffer_size - 1);
    if (copied > 0) std::memcpy(buffer, reply->payload.data(), copied);
    buffer[copied] = '\0';
  }
  return static_cast<int>(n + 1);
}

int ClientSetStr(const char* name, const char* value) {
  if (!ValidName(name) || !value) return 0;
  const std::size_t n = ::strnlen(value, PM_MAX_STR + 1);
  if (n > PM_MAX_STR) return 0;
  BusClient& c = Client();
  const std::uint32_t id = c.NextRequestId();
  const std::string_view key(name);
  return c.Call(EncodeMessage(MsgType::kSetStr, id, static_cast<std::uint32_t>(key.size()), key,
                              std::string_view(value, n)),
                id)
             ? 1
             : 0;
}

int ClientGetInfo(std::uint32_t key, std::uint64_t* value) { return Client().Info(key, value); }

}  // namespace pelmo
