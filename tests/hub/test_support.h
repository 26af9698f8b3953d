// Helpers shared by the hub and client-library tests: a private bus path per test, bounded
// waits, and a raw protocol client that speaks to a hub without the client library.
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

inline constexpr std::chrono::seconds kDeadline{10};

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

// A blocking protocol client over one SOCK_SEQPACKET connection.
class RawClient {
 public:
  explicit RawClient(const std::string& path) : fd_(ConnectBus(path)) {}
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
  bool Send(MsgType type, std::uint32_t a, std::uint32_t b,
            std::span<const std::uint8_t> payload = {}) {
    return SendRaw(EncodeMessage(type, a, b, payload));
  }
  bool Register(std::uint32_t value, std::string_view name = "raw") {
    return Send(MsgType::kRegister, value, 0, AsBytes(name));
  }

  // The next packet, or nullopt on timeout. An empty vector means the hub closed the connection.
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

  // Skips info messages; returns the next other message (payload copied), or nullopt on
  // timeout or close.
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

  // True once the hub has closed this connection (messages before the close are skipped).
  bool WaitClosed(std::chrono::milliseconds timeout = kDeadline) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      auto raw = ReceiveRaw(left);
      if (!raw) return false;
      if (raw->empty()) return true;
    }
  }

 private:
  int fd_;
};

}  // namespace pelmo::testing
