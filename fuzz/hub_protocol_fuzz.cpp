// Fuzzes the hub as its clients reach it: a real hub on a private socket receives the input as
// packets from up to two client connections at a time (and blocks from its host), parses them
// and acts on them. Every packet that comes back is checked against a model of each connection
// kept here from what was sent:
// - the hub sends only well-formed hub-to-client messages, nothing after an error;
// - it closes a connection exactly when a packet was bad, giving the reason the model expects,
//   and counts exactly those in bad_messages;
// - a delivery carries a block another connection posted (or the host delivered), with a route
//   bit the receiver registered for, and never a monitor's frame meant for the host alone;
// - replies come in request order with the right shape, and a variable or string that only one
//   connection sets reads back as that connection last set it;
// - the host's post observer sees every accepted post;
// - afterwards the hub still answers a new client, and every client of the input is gone.
//
// Starting a hub costs more than most inputs (its receive buffers), so each configuration's hub
// is started once and serves many inputs; it is replaced now and then so that the variables
// and strings it keeps cannot grow without bound. What an input leaves behind there is only
// those names, which the checks allow for.
//
// Input: [setup] then records. setup bit 0: the host observes posts (the companion's hub);
// bits 1-2: the per-client queue bound (1, 2, 16 or 4096 blocks); bit 3: a read hold.
// A record starts with [op]: bits 0-1 the kind, bit 2 the client slot (0 or 1).
//   0 raw packet:   [len u16][bytes], sent as they are
//   1 message:      [type][a u32][b u32][len u16][payload], header completed here
//   2 host block:   [code u32][len u16][block], through Hub::Deliver
//   3 event:        [which] % 3: 0 an oversized packet, 1 an empty packet, 2 hang up
// A slot that was closed (by the hub or by hanging up) reconnects on its next record.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "fuzz/fuzz_reader.h"
#include "hub/bus_path.h"
#include "hub/hub.h"
#include "hub/protocol.h"

namespace {

using pelmo::MsgType;
using pelmo::WireError;
using Bytes = std::vector<std::uint8_t>;

// Bounds one input: fewer requests per connection than the hub keeps replies for, so that
// every reply is owed and none may be dropped.
constexpr int kMaxRecords = 96;
constexpr int kMaxConnections = 8;
constexpr int kDeadlineMs = 20000;
constexpr std::uint32_t kRouteMask = 0x0000FF00u;

// Inputs one hub serves before it is replaced by a fresh one.
constexpr int kInputsPerHub = 4096;

std::string g_bus_dir;

[[noreturn]] void Fail(const char* what) { fuzz::Fail("hub_protocol_fuzz", what); }

void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

using fuzz::Reader;

bool IsForTheHost(std::uint32_t code) {
  return (code & 0x20000000u) != 0 && (code & 0x10000000u) == 0;
}

struct Owed {
  std::uint32_t id;
  MsgType type;
  std::size_t read = SIZE_MAX;  // index into the run's variable or string reads
};

// What one GetVar or GetStr asked and got, judged once the run is over.
struct Read {
  int connection;
  std::string name;
  std::optional<Bytes> expected;  // as this connection last set it; nullopt: never
  bool answered = false;          // a hub that closes a connection drops its unsent replies
  std::optional<Bytes> actual;    // nullopt: not found
};

struct Connection {
  int id = 0;
  int fd = -1;
  bool registered = false;            // as the hub sees it, once it has read everything sent so far
  std::vector<std::uint32_t> values;  // every registration value it had
  bool closing = false;               // the hub will close it (or it hung up)
  std::optional<std::uint32_t> reason;  // the error the hub gives when it closes it
  bool error_seen = false;
  bool eof = false;
  std::deque<Owed> owed;
  std::uint32_t dropped_seen = 0;
  std::map<std::string, Bytes> own_vars, own_strings;  // what it set, last value per name
};

// One configuration's hub and what its host observed.
struct HostedHub {
  std::unique_ptr<pelmo::Hub> hub;
  pelmo::HubOptions options;
  bool observe = false;
  int served = 0;
  std::mutex mutex;
  std::vector<std::pair<std::uint32_t, Bytes>> observed;  // guarded by mutex

  pelmo::Hub& Get() {
    if (hub && served++ < kInputsPerHub) return *hub;
    hub.reset();
    served = 1;
    hub = std::make_unique<pelmo::Hub>(options);
    if (observe) {
      hub->SetPostObserver([this](std::uint32_t code, std::span<const std::uint8_t> block) {
        std::lock_guard lock(mutex);
        observed.emplace_back(code, Bytes(block.begin(), block.end()));
      });
    }
    std::string error;
    if (hub->Start(&error) != pelmo::HubStart::kStarted) {
      std::fprintf(stderr, "hub_protocol_fuzz: %s\n", error.c_str());
      std::abort();
    }
    return *hub;
  }
};

class Run {
 public:
  explicit Run(HostedHub& host)
      : host_(host), observe_(host.observe), hub_(host.Get()), path_(host.options.path) {
    bad_before_ = hub_.Stats().bad_messages;
    std::lock_guard lock(host_.mutex);
    host_.observed.clear();
  }

  Connection* Slot(int slot) {
    Connection*& c = slots_[slot];
    if (c && !c->closing) return c;
    if (static_cast<int>(connections_.size()) >= kMaxConnections) return nullptr;
    auto& fresh = connections_.emplace_back();
    fresh.id = static_cast<int>(connections_.size()) - 1;
    fresh.fd = pelmo::ConnectBus(path_);
    Check(fresh.fd >= 0, "cannot connect to the hub");
    c = &fresh;
    return c;
  }

  // Sends one packet and advances the model by what the hub will make of it.
  void Send(Connection& c, std::span<const std::uint8_t> packet) {
    SendBytes(c, packet);
    if (packet.empty()) {
      c.closing = true;  // read as the end of the connection
      return;
    }
    if (packet.size() > pelmo::kMaxMessage) return Bad(c, WireError::kOversized);
    const auto m = pelmo::ParseMessage(packet);
    if (!m) return Bad(c, WireError::kMalformed);
    const std::string name(pelmo::AsText(m->payload));
    switch (m->type) {
      case MsgType::kRegister:
        if (c.registered) return Bad(c, WireError::kBadField);
        c.registered = true;
        c.values.push_back(m->a);
        return;
      case MsgType::kUnregister:
        if (!c.registered) return Bad(c, WireError::kBadField);
        c.registered = false;
        return;
      case MsgType::kPost: {
        if (!c.registered) return Bad(c, WireError::kBadField);
        Bytes block(m->payload.begin(), m->payload.end());
        if (!(observe_ && IsForTheHost(m->a))) posted_.insert({c.id, m->a, block});
        if (observe_) to_observe_.emplace_back(m->a, std::move(block));
        return;
      }
      case MsgType::kSetVar: {
        const std::int32_t v = static_cast<std::int32_t>(m->b);
        const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
        c.own_vars[name] = Bytes(p, p + sizeof v);
        var_setters_[name].insert(c.id);
        c.owed.push_back({m->a, m->type});
        return;
      }
      case MsgType::kSetStr: {
        const std::string key = name.substr(0, m->b);
        c.own_strings[key] = Bytes(m->payload.begin() + m->b, m->payload.end());
        string_setters_[key].insert(c.id);
        c.owed.push_back({m->a, m->type});
        return;
      }
      case MsgType::kGetVar:
      case MsgType::kGetStr: {
        const auto& own = m->type == MsgType::kGetVar ? c.own_vars : c.own_strings;
        const auto it = own.find(name);
        reads_.push_back({c.id,
                          name,
                          it == own.end() ? std::nullopt : std::optional<Bytes>(it->second),
                          false,
                          {}});
        (m->type == MsgType::kGetVar ? var_reads_ : string_reads_).push_back(reads_.size() - 1);
        c.owed.push_back({m->a, m->type, reads_.size() - 1});
        return;
      }
      case MsgType::kQuery:
        // This hub's host gives no answers: each query is answered "no such answer".
        c.owed.push_back({m->a, m->type});
        return;
      case MsgType::kDeliver:
      case MsgType::kReply:
      case MsgType::kInfo:
      case MsgType::kError:
      case MsgType::kAnswer:
        return Bad(c, WireError::kMalformed);
    }
  }

  void HangUp(Connection& c) {
    ::shutdown(c.fd, SHUT_WR);
    c.closing = true;
  }

  void HostDeliver(std::uint32_t code, std::span<const std::uint8_t> block) {
    host_blocks_.insert({code, Bytes(block.begin(), block.end())});
    hub_.Deliver(code, block);
  }

  // Reads whatever has arrived on every connection, without waiting.
  void DrainAll() {
    for (auto& c : connections_) Drain(c);
  }

  // Waits until every connection has had its answers: the owed replies (a last request is
  // added to each open connection, so everything sent before it has been handled), or the
  // hub's close.
  void Settle() {
    for (auto& c : connections_) {
      if (!c.closing)
        Send(c, pelmo::EncodeMessage(MsgType::kGetVar, 0xFFFFFFFFu, 0, pelmo::AsBytes("settle")));
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    for (auto& c : connections_) {
      while (c.closing ? !c.eof : !c.owed.empty()) {
        Check(std::chrono::steady_clock::now() < end, "the hub stopped answering");
        pollfd p{c.fd, POLLIN, 0};
        ::poll(&p, 1, 100);
        Drain(c);
      }
    }
    const std::uint64_t bad =
        std::count_if(connections_.begin(), connections_.end(),
                      [](const Connection& c) { return c.reason.has_value(); });
    Check(hub_.Stats().bad_messages - bad_before_ == bad,
          "bad_messages differs from the bad packets sent");
  }

  // A new client still gets answers; then the hub stops and the whole run is judged.
  void Finish() {
    const int fd = pelmo::ConnectBus(path_);
    Check(fd >= 0, "the hub no longer accepts clients");
    const auto set =
        pelmo::EncodeMessage(MsgType::kSetVar, 7, 0x5A5A5A5Au, pelmo::AsBytes("probe"));
    const auto get = pelmo::EncodeMessage(MsgType::kGetVar, 8, 0, pelmo::AsBytes("probe"));
    Check(::send(fd, set.data(), set.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(set.size()) &&
              ::send(fd, get.data(), get.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(get.size()),
          "cannot send to the hub");
    auto m = pelmo::ParseMessage(ReceiveOne(fd));
    Check(m && m->type == MsgType::kReply && m->a == 7 && m->b == 1, "probe set not answered");
    m = pelmo::ParseMessage(ReceiveOne(fd));
    std::int32_t v = 0;
    Check(m && m->type == MsgType::kReply && m->a == 8 && m->b == 1 && m->payload.size() == 4,
          "probe get not answered");
    std::memcpy(&v, m->payload.data(), 4);
    Check(v == 0x5A5A5A5A, "probe variable read back wrong");
    ::close(fd);

    JudgeReads(var_reads_, var_setters_);
    JudgeReads(string_reads_, string_setters_);
    {
      // Settled: every post of the input has been handled. Each connection's posts are
      // observed in order, the connections' interleaved as the hub read them.
      std::lock_guard lock(host_.mutex);
      std::sort(host_.observed.begin(), host_.observed.end());
      std::sort(to_observe_.begin(), to_observe_.end());
      Check(host_.observed == to_observe_, "the host did not observe exactly the accepted posts");
    }
    // The next input starts on a hub without clients.
    for (auto& c : connections_) ::close(c.fd);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    while (hub_.Stats().clients != 0) {
      Check(std::chrono::steady_clock::now() < end, "the hub kept clients that had gone");
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }

 private:
  void Bad(Connection& c, WireError why) {
    c.closing = true;
    c.reason = static_cast<std::uint32_t>(why);
  }

  void SendBytes(Connection& c, std::span<const std::uint8_t> packet) {
    // The hub never stops reading a client, so room comes; meanwhile take what it sends us,
    // or a hub blocked on its own output could look like one that stopped reading.
    for (;;) {
      const ssize_t n = ::send(c.fd, packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n == static_cast<ssize_t>(packet.size())) return;
      Check(n < 0, "short send on a packet socket");
      if (errno == EPIPE || errno == ECONNRESET) return;  // the hub closed it earlier
      Check(errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR, "send failed");
      pollfd p{c.fd, POLLOUT | POLLIN, 0};
      Check(::poll(&p, 1, kDeadlineMs) > 0, "the hub stopped reading");
      if (p.revents & POLLIN) Drain(c);
    }
  }

  std::span<const std::uint8_t> ReceiveOne(int fd) {
    pollfd p{fd, POLLIN, 0};
    Check(::poll(&p, 1, kDeadlineMs) > 0, "no answer from the hub");
    const ssize_t n = ::recv(fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
    Check(n > 0, "the hub closed a good client");
    return {buffer_.data(), static_cast<std::size_t>(n)};
  }

  void Drain(Connection& c) {
    while (!c.eof) {
      const ssize_t n = ::recv(c.fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        // The hub closed with our packets unread: the kernel says so once, then hands over
        // what the hub sent before closing, then the end.
        Check(errno == ECONNRESET, "receive failed");
        Check(c.closing, "the hub reset a connection that did nothing wrong");
      } else if (n == 0) {
        c.eof = true;
      } else {
        Judge(c, {buffer_.data(), static_cast<std::size_t>(n)});
      }
      if (c.eof) Check(c.closing, "the hub closed a connection that did nothing wrong");
    }
  }

  void Judge(Connection& c, std::span<const std::uint8_t> packet) {
    Check(packet.size() <= pelmo::kMaxMessage, "the hub sent an oversized packet");
    Check(!c.error_seen, "the hub sent more after its error");
    const auto m = pelmo::ParseMessage(packet);
    Check(m.has_value(), "the hub sent a malformed packet");
    switch (m->type) {
      case MsgType::kDeliver: {
        const Bytes block(m->payload.begin(), m->payload.end());
        bool route = false;
        for (const std::uint32_t v : c.values) route = route || (v & m->a & kRouteMask) != 0;
        Check(route, "a block delivered to a client not registered for its route");
        bool known = host_blocks_.count({m->a, block}) != 0;
        for (const auto& conn : connections_) {
          if (known) break;
          if (conn.id != c.id) known = posted_.count({conn.id, m->a, block}) != 0;
        }
        Check(known, "a delivered block nobody else posted or delivered");
        return;
      }
      case MsgType::kReply: {
        Check(!c.owed.empty(), "a reply to no request");
        const Owed owed = c.owed.front();
        c.owed.pop_front();
        Check(m->a == owed.id, "a reply out of order");
        Check(owed.type != MsgType::kQuery, "a query answered with a reply");
        Check(m->b <= 1, "a reply status other than 0 or 1");
        if (owed.read != SIZE_MAX) reads_[owed.read].answered = true;
        if (owed.type == MsgType::kSetVar || owed.type == MsgType::kSetStr) {
          Check(m->b == 1 && m->payload.empty(), "a set not answered as stored");
        } else if (m->b == 0) {
          Check(m->payload.empty(), "a not-found reply with a value");
        } else {
          Check(owed.type == MsgType::kGetStr ? m->payload.size() <= PM_MAX_STR
                                              : m->payload.size() == 4,
                "a reply value of the wrong size");
          reads_[owed.read].actual = Bytes(m->payload.begin(), m->payload.end());
        }
        return;
      }
      case MsgType::kAnswer: {
        Check(!c.owed.empty(), "an answer to no request");
        const Owed owed = c.owed.front();
        c.owed.pop_front();
        Check(m->a == owed.id && owed.type == MsgType::kQuery, "an answer out of order");
        Check(m->b == 0 && m->payload.empty(), "an answer from a hub without answers");
        return;
      }
      case MsgType::kInfo:
        Check(m->a <= connections_.size(), "info counts more clients than connected");
        Check(m->b >= c.dropped_seen, "the dropped count went back");
        c.dropped_seen = m->b;
        return;
      case MsgType::kError:
        Check(c.reason.has_value(), "an error for a connection that sent nothing bad");
        Check(m->a == *c.reason, "an error giving the wrong reason");
        c.error_seen = true;
        return;
      default:
        Fail("the hub sent a client-to-hub message");
    }
  }

  void JudgeReads(const std::vector<std::size_t>& which,
                  const std::map<std::string, std::set<int>>& setters) {
    for (const std::size_t i : which) {
      const Read& r = reads_[i];
      const auto it = setters.find(r.name);
      // Another connection's sets may land before or after this read, and a name this input
      // never set may be left from an earlier input: only a name this connection alone set,
      // before the read, has a known value.
      if (!r.answered || !r.expected || it->second.size() > 1) continue;
      Check(r.actual == r.expected, "a name read back other than its only writer left it");
    }
  }

  HostedHub& host_;
  bool observe_;
  pelmo::Hub& hub_;
  std::string path_;
  std::uint64_t bad_before_ = 0;
  Bytes buffer_ = Bytes(pelmo::kMaxMessage + 1);  // one received packet
  std::deque<Connection> connections_;            // stable addresses
  Connection* slots_[2] = {nullptr, nullptr};
  std::set<std::tuple<int, std::uint32_t, Bytes>> posted_;  // deliverable, by poster
  std::set<std::pair<std::uint32_t, Bytes>> host_blocks_;
  std::vector<std::pair<std::uint32_t, Bytes>> to_observe_;
  std::vector<Read> reads_;
  std::vector<std::size_t> var_reads_, string_reads_;
  std::map<std::string, std::set<int>> var_setters_, string_setters_;
};

// Indexed by the setup byte's low four bits.
HostedHub g_hubs[16];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/hub-fuzz-XXXXXX";
  Check(::mkdtemp(pattern) != nullptr, "cannot make a directory for the bus");
  g_bus_dir = pattern;
  static constexpr std::size_t kQueues[] = {1, 2, 16, 4096};
  for (int i = 0; i < 16; ++i) {
    HostedHub& h = g_hubs[i];
    h.observe = (i & 1) != 0;
    h.options.path = g_bus_dir + "/bus" + std::to_string(i);
    h.options.client_queue_blocks = kQueues[(i >> 1) & 3];
    h.options.read_hold = std::chrono::microseconds((i & 8) ? 200 : 0);
  }
  std::atexit([] {
    for (auto& h : g_hubs) h.hub.reset();
    std::error_code ec;
    std::filesystem::remove_all(g_bus_dir, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in{data, size};
  Run run(g_hubs[in.U8() & 15]);

  static const Bytes oversized(pelmo::kMaxMessage + 1, 0);
  Bytes packet;
  for (int record = 0; record < kMaxRecords && in.left > 0; ++record) {
    const std::uint8_t op = in.U8();
    const int kind = op & 3;
    if (kind == 2) {
      const std::uint32_t code = in.U32();
      run.HostDeliver(code, in.Take(in.U16()));
      run.DrainAll();
      continue;
    }
    Connection* c = run.Slot((op >> 2) & 1);
    if (!c) break;
    if (kind == 0) {
      run.Send(*c, in.Take(in.U16()));
    } else if (kind == 1) {
      const auto type = static_cast<MsgType>(in.U8());
      const std::uint32_t a = in.U32();
      const std::uint32_t b = in.U32();
      pelmo::EncodeMessage(type, a, b, in.Take(in.U16()), packet);
      run.Send(*c, packet);
    } else {
      switch (in.U8() % 3) {
        case 0:
          run.Send(*c, oversized);
          break;
        case 1:
          run.Send(*c, {});
          break;
        default:
          run.HangUp(*c);
          break;
      }
    }
    run.DrainAll();
  }
  run.Settle();
  run.Finish();
  return 0;
}
