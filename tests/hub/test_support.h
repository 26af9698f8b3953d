// Helpers shared by the hub, client-library and tool tests: a private bus directory per test,
// bounded waits, and a raw protocol connection that speaks to a hub (or to a client, from the
// hub's side) without the client library.
#pragma once

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hub/bus_path.h"
#include "hub/protocol.h"

namespace pelmo::testing {

inline constexpr std::chrono::milliseconds kDeadline{15000};

// A fresh directory under /tmp (mode 0700) holding the bus socket; removed afterwards.
class TempBus {
 public:
  TempBus() {
    char pattern[] = "/tmp/pelmo-test-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    path_ = dir_ + "/bus";
  }
  ~TempBus() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::string& dir() const { return dir_; }
  const std::string& path() const { return path_; }

 private:
  std::string dir_;
  std::string path_;
};

// Polls cond until it holds or the deadline passes.
inline bool WaitUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds deadline = kDeadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A blocking protocol connection over one SOCK_SEQPACKET socket.
class RawClient {
 public:
  explicit RawClient(const std::string& path) : fd_(ConnectBus(path)) {}
  explicit RawClient(int fd) : fd_(fd) {}  // takes ownership
  ~RawClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  bool SendRaw(const std::vector<std::uint8_t>& bytes) {
    // Wait for room rather than fail: the hub drains us.
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, 5000) <= 0) return false;
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  bool Send(MsgType type, std::uint32_t a, std::span<const std::uint8_t> payload = {}) {
    return SendRaw(EncodeMessage(type, a, 0, payload));
  }
  bool Register(std::uint32_t value) { return Send(MsgType::kRegister, value, AsBytes("raw")); }

  // The next packet, or nullopt on timeout. An empty vector means the peer closed the connection.
  std::optional<std::vector<std::uint8_t>> ReceiveRaw(
      std::chrono::milliseconds timeout = kDeadline) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    std::vector<std::uint8_t> buffer(kMaxMessage);
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n <= 0) return std::vector<std::uint8_t>{};
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
  }

  // The next message other than an info message (payload copied), or nullopt on timeout,
  // close or a malformed packet.
  struct Received {
    MsgType type;
    std::uint32_t a;
    std::uint32_t b;
    std::vector<std::uint8_t> payload;
  };
  std::optional<Received> Receive(std::chrono::milliseconds timeout = kDeadline) {
    for (;;) {
      auto raw = ReceiveRaw(timeout);
      if (!raw || raw->empty()) return std::nullopt;
      const auto m = ParseMessage(*raw);
      if (!m) return std::nullopt;
      if (m->type == MsgType::kInfo) continue;
      return Received{m->type, m->a, m->b, {m->payload.begin(), m->payload.end()}};
    }
  }

  // True once the peer has closed this connection (messages before the close are skipped).
  bool WaitClosed() {
    return WaitUntil([&] {
      auto raw = ReceiveRaw(std::chrono::milliseconds(0));
      return raw && raw->empty();
    });
  }

 private:
  int fd_;
};

}  // namespace pelmo::testing
