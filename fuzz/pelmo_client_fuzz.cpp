// Fuzzes the client library's reading of what a hub sends: a fake hub here accepts a window's
// connection through the public API (pmRegister) and answers it with the input as packets,
// while one request of the API (pmGetStr, pmGetPublicVar, pmSetPublicVar or pmSetStr) may be
// waiting for its reply. What the program sees is checked against the packets sent:
// - until the first packet no hub sends (malformed, empty, oversized) the library acts on every
//   message in order, after it drops the connection and reads no more;
// - the window is notified of exactly the deliveries, in order, each fetched by pmGetp with
//   its bytes intact;
// - the request returns what the first reply carrying its id says (a value of the right size,
//   a string truncated into the caller's buffer, a store acknowledged), else fails;
// - pmGetInfo reports the clients and the drops of the info messages, and the offline reason
//   of the last info or refusal.
// The library writes what it should: its registration and the request are checked as read.
//
// Input: [setup] then records. setup % 5: no request, pmGetStr, pmGetPublicVar,
// pmSetPublicVar, pmSetStr; bits 3-4: pmGetStr's buffer size (0, 1, 5 or 300 bytes).
// A record starts with [op]; op % 4:
//   0 raw packet:  [len u16][bytes], sent as they are
//   1 message:     [type][a u32][b u32][len u16][payload], header completed here
//   2 answer:      [b u32][len u16][payload], a reply carrying the request's id
//   3 event:       [which] bit 0: an oversized packet, else an empty one
//
// The library's I/O thread is kept running between inputs by a second window that stays
// registered on the same fake hub, so an input costs one connection, not a thread.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/fuzz_reader.h"
#include "hub/protocol.h"
#include "pelmo.h"

namespace {

using pelmo::MsgType;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kMaxRecords = 128;
constexpr auto kDeadline = std::chrono::seconds(20);
constexpr int kDeadlineMs = 20000;
// The library gives up on a reply after a second; a failed request that took this long may
// have timed out on a loaded machine rather than misread its reply.
constexpr auto kRequestPatience = std::chrono::milliseconds(900);
constexpr std::uint32_t kRoute = 0x400;
constexpr std::uint32_t kSettleCode = 0x7E110000;

std::string g_dir;
int g_listen = -1;
int g_keeper_fd = -1;
unsigned g_input = 0;

[[noreturn]] void Fail(const char* what) { fuzz::Fail("pelmo_client_fuzz", what); }

void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

using fuzz::Reader;

// A window whose post function records its notifications.
struct Notification {
  std::uint32_t message;
  std::uint32_t code;
  std::uint32_t handle;
};
struct RecordingWindow {
  std::mutex mutex;
  std::vector<Notification> seen;
  static void Post(void* context, std::uint32_t message, std::uintptr_t wparam, intptr_t lparam) {
    auto* self = static_cast<RecordingWindow*>(context);
    std::lock_guard lock(self->mutex);
    self->seen.push_back(
        {message, static_cast<std::uint32_t>(wparam), static_cast<std::uint32_t>(lparam)});
  }
  std::size_t Count() {
    std::lock_guard lock(mutex);
    return seen.size();
  }
};

RecordingWindow g_recorders[2];
// One array, so the fuzzed window sorts before the keeper: a request goes out through the first
// connected window, and it must be the one this input serves.
pm_window g_windows[2];

bool WaitReadable(int fd, Clock::time_point end) {
  pollfd p{fd, POLLIN, 0};
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
  return ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) > 0;
}

// The next packet the library wrote on fd, or nullopt when it closed.
std::optional<Bytes> ReceiveFrom(int fd) {
  Check(WaitReadable(fd, Clock::now() + kDeadline), "the library wrote nothing");
  Bytes buffer(pelmo::kMaxMessage + 1);
  const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (n <= 0) return std::nullopt;
  buffer.resize(static_cast<std::size_t>(n));
  return buffer;
}

// Accepts connections until one registers a window by this name; others (a connection of an
// earlier input's window, made just before it was unregistered) are closed.
int AcceptWindow(const std::string& name, std::uint32_t value) {
  const auto end = Clock::now() + kDeadline;
  for (;;) {
    Check(WaitReadable(g_listen, end), "the library did not connect");
    const int fd = ::accept4(g_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const auto first = ReceiveFrom(fd);
    const auto m = first ? pelmo::ParseMessage(*first) : std::nullopt;
    if (m && m->type == MsgType::kRegister && pelmo::AsText(m->payload) == name) {
      Check(m->a == value, "the registration carries another value");
      return fd;
    }
    ::close(fd);
  }
}

void SendPacket(int fd, std::span<const std::uint8_t> packet) {
  // A blocking send: the library reads on, or drops the connection and the send fails.
  pollfd p{fd, POLLOUT, 0};
  Check(::poll(&p, 1, kDeadlineMs) > 0, "the library stopped reading");
  ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
}

enum class Call { kNone, kGetStr, kGetVar, kSetVar, kSetStr };

struct Request {
  Call call = Call::kNone;
  std::uint32_t buffer_size = 0;
  std::thread thread;
  // Written by the caller thread, read after joining it.
  int result = 0;
  Bytes buffer;
  std::int32_t value = 0;
  Clock::duration took{};

  void Start() {
    if (call == Call::kNone) return;
    buffer.assign(buffer_size, 0xEE);
    thread = std::thread([this] {
      const auto start = Clock::now();
      switch (call) {
        case Call::kGetStr:
          result = pmGetStr("name", reinterpret_cast<char*>(buffer.data()), buffer_size);
          break;
        case Call::kGetVar:
          result = pmGetPublicVar("name", &value);
          break;
        case Call::kSetVar:
          result = pmSetPublicVar("name", -123456);
          break;
        case Call::kSetStr:
          result = pmSetStr("name", "a value");
          break;
        case Call::kNone:
          break;
      }
      took = Clock::now() - start;
    });
  }

  // Reads the request from the connection and checks it; its id.
  std::uint32_t Receive(int fd) const {
    const auto packet = ReceiveFrom(fd);
    Check(packet.has_value(), "the library closed instead of sending its request");
    const auto m = pelmo::ParseMessage(*packet);
    Check(m.has_value(), "the library sent a malformed request");
    const std::string_view payload = pelmo::AsText(m->payload);
    switch (call) {
      case Call::kGetStr:
        Check(m->type == MsgType::kGetStr && payload == "name", "a wrong getstr request");
        break;
      case Call::kGetVar:
        Check(m->type == MsgType::kGetVar && payload == "name", "a wrong getvar request");
        break;
      case Call::kSetVar:
        Check(m->type == MsgType::kSetVar && payload == "name" &&
                  static_cast<std::int32_t>(m->b) == -123456,
              "a wrong setvar request");
        break;
      case Call::kSetStr:
        Check(m->type == MsgType::kSetStr && m->b == 4 && payload == "namea value",
              "a wrong setstr request");
        break;
      case Call::kNone:
        break;
    }
    return m->a;
  }

  // Judges the returned result against the reply the library should have taken, if any.
  void Judge(const std::optional<std::pair<std::uint32_t, Bytes>>& reply) const {
    if (call == Call::kNone) return;
    const bool ok = reply && reply->first != 0;
    if (!ok || (call == Call::kGetVar && reply->second.size() != sizeof(std::int32_t))) {
      Check(result == 0, "a request succeeded without a reply that says so");
      return;
    }
    if (result == 0 && took >= kRequestPatience) return;  // timed out on a slow machine
    const Bytes& payload = reply->second;
    switch (call) {
      case Call::kGetStr: {
        Check(result == static_cast<int>(payload.size() + 1), "pmGetStr returned a wrong length");
        if (buffer_size == 0) break;
        const std::size_t copied = std::min<std::size_t>(payload.size(), buffer_size - 1);
        Check(std::equal(payload.begin(), payload.begin() + copied, buffer.begin()) &&
                  buffer[copied] == 0,
              "pmGetStr copied a wrong string");
        Check(std::all_of(buffer.begin() + copied + 1, buffer.end(),
                          [](std::uint8_t b) { return b == 0xEE; }),
              "pmGetStr wrote past the string");
        break;
      }
      case Call::kGetVar: {
        std::int32_t expected;
        std::memcpy(&expected, payload.data(), sizeof expected);
        Check(result == 1 && value == expected, "pmGetPublicVar read a wrong value");
        break;
      }
      case Call::kSetVar:
      case Call::kSetStr:
        Check(result == 1, "a stored value reported as not stored");
        break;
      case Call::kNone:
        break;
    }
  }
};

std::uint64_t Info(std::uint32_t key) {
  std::uint64_t v = 0;
  Check(pmGetInfo(key, &v) == 1, "pmGetInfo refused a known key");
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/pelmo-fuzz-XXXXXX";
  Check(::mkdtemp(pattern) != nullptr, "cannot make a directory for the bus");
  g_dir = pattern;
  const std::string path = g_dir + "/bus";
  ::setenv("PELMO_BUS", path.c_str(), 1);
  g_listen = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  Check(g_listen >= 0 &&
            ::bind(g_listen, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
            ::listen(g_listen, 64) == 0,
        "cannot listen on the bus path");
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
  });

  for (int i = 0; i < 2; ++i) g_windows[i] = {&RecordingWindow::Post, &g_recorders[i]};
  // The keeper: registered for good, and on the bus (it got its info message).
  Check(pmRegister(&g_windows[1], 0, "keeper") == 1, "cannot register the keeper");
  g_keeper_fd = AcceptWindow("keeper", 0);
  const auto info = pelmo::EncodeMessage(MsgType::kInfo, 1, 0);
  SendPacket(g_keeper_fd, info);
  const auto end = Clock::now() + kDeadline;
  while (Info(PM_INFO_OFFLINE_REASON) != PM_OFFLINE_NONE) {
    Check(Clock::now() < end, "the keeper never got on the bus");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in{data, size};
  const std::uint8_t setup = in.U8();
  static constexpr std::uint32_t kBufferSizes[] = {0, 1, 5, 300};
  Request request;
  request.call = static_cast<Call>(setup % 5);
  request.buffer_size = kBufferSizes[(setup >> 3) & 3];

  RecordingWindow& recorder = g_recorders[0];
  {
    std::lock_guard lock(recorder.mutex);
    recorder.seen.clear();
  }
  const std::string name = "fuzz " + std::to_string(++g_input);
  Check(pmRegister(&g_windows[0], kRoute, name.c_str()) == 1, "pmRegister refused");
  const int fd = AcceptWindow(name, kRoute);
  std::uint32_t id = 0;
  request.Start();
  if (request.call != Call::kNone) id = request.Receive(fd);

  // The model: what the library must have done with the packets up to the first bad one.
  bool dropped = false;  // a packet no hub sends: the library has dropped the connection
  std::vector<std::pair<std::uint32_t, Bytes>> deliveries;
  std::optional<std::pair<std::uint32_t, Bytes>> reply;  // the first carrying the request's id
  std::optional<std::uint32_t> clients;
  std::uint64_t hub_drops = 0;
  std::uint32_t drops_seen = 0;
  std::uint32_t offline = PM_OFFLINE_CONNECTING;
  const std::uint64_t hub_drops_before = Info(PM_INFO_HUB_DROPS);

  auto send = [&](std::span<const std::uint8_t> packet) {
    SendPacket(fd, packet);
    if (dropped) return;
    const auto m = packet.size() <= pelmo::kMaxMessage ? pelmo::ParseMessage(packet) : std::nullopt;
    if (!m) {
      dropped = true;
      return;
    }
    switch (m->type) {
      case MsgType::kDeliver:
        deliveries.emplace_back(m->a, Bytes(m->payload.begin(), m->payload.end()));
        break;
      case MsgType::kReply:
        if (request.call != Call::kNone && m->a == id && !reply) {
          reply.emplace(m->b, Bytes(m->payload.begin(), m->payload.end()));
        }
        break;
      case MsgType::kInfo:
        clients = m->a;
        if (m->b > drops_seen) hub_drops += m->b - drops_seen;
        drops_seen = m->b;
        offline = PM_OFFLINE_NONE;
        break;
      case MsgType::kError:
        if (m->a == static_cast<std::uint32_t>(pelmo::WireError::kWrongPeer)) {
          offline = PM_OFFLINE_REFUSED_BY_HUB;
        }
        break;
      default:
        break;  // a client's message: nothing for the library to do
    }
  };

  static const Bytes oversized(pelmo::kMaxMessage + 1, 0);
  Bytes packet;
  for (int record = 0; record < kMaxRecords && in.left > 0; ++record) {
    const std::uint8_t op = in.U8();
    switch (op % 4) {
      case 0:
        send(in.Take(in.U16()));
        break;
      case 1: {
        const auto type = static_cast<MsgType>(in.U8());
        const std::uint32_t a = in.U32();
        const std::uint32_t b = in.U32();
        pelmo::EncodeMessage(type, a, b, in.Take(in.U16()), packet);
        send(packet);
        break;
      }
      case 2: {
        const std::uint32_t b = in.U32();
        pelmo::EncodeMessage(MsgType::kReply, id, b, in.Take(in.U16()), packet);
        send(packet);
        break;
      }
      default:
        if (in.U8() & 1) {
          send(oversized);
        } else {
          send({});
        }
        break;
    }
  }

  // Settle: a last delivery shows that everything before it was handled; a dropped connection
  // shows as its end, after which the deliveries before the bad packet are still notified.
  const auto end = Clock::now() + kDeadline;
  std::size_t expected = deliveries.size();
  if (!dropped) {
    const Bytes tag{static_cast<std::uint8_t>(g_input), static_cast<std::uint8_t>(g_input >> 8)};
    send(pelmo::EncodeMessage(MsgType::kDeliver, kSettleCode, 0, tag));
    expected = deliveries.size();
  } else {
    for (;;) {
      Check(WaitReadable(fd, end), "the library kept a connection that sent a bad packet");
      Bytes buffer(pelmo::kMaxMessage + 1);
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno == ECONNRESET)) break;
    }
  }
  while (recorder.Count() < expected) {
    Check(Clock::now() < end, "the window was not notified of every delivery");
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }

  {
    std::lock_guard lock(recorder.mutex);
    Check(recorder.seen.size() == expected, "the window was notified of more than was delivered");
    for (std::size_t i = 0; i < expected; ++i) {
      const Notification& n = recorder.seen[i];
      Check(n.message == PM_WM_BUS_NOTIFY, "a notification of another message");
      Check(n.code == deliveries[i].first, "a delivery notified with another code");
      std::uint32_t count = 0;
      const void* bytes = pmGetp(n.handle, &count);
      const Bytes& want = deliveries[i].second;
      Check(count == want.size() && (want.empty() || std::memcmp(bytes, want.data(), count) == 0),
            "a fetched block differs from the one delivered");
    }
  }
  if (clients) Check(Info(PM_INFO_CLIENTS) == *clients, "the client count is not the hub's");
  Check(Info(PM_INFO_HUB_DROPS) - hub_drops_before == hub_drops,
        "the hub's drops are not counted as reported");
  if (!dropped) Check(Info(PM_INFO_OFFLINE_REASON) == offline, "a wrong offline reason");

  Check(pmUnregister(&g_windows[0]) == 1, "pmUnregister refused a registered window");
  ::close(fd);
  if (request.thread.joinable()) request.thread.join();
  request.Judge(reply);
  {
    std::lock_guard lock(recorder.mutex);
    Check(recorder.seen.size() == expected, "a notification after the last delivery");
  }
  return 0;
}
