// Helpers for the companion's tests: record builders, a temporary directory, an event loop on
// its own thread, blocking TCP peers with deadlines, and child processes.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame/frame_record.h"
#include "loop/event_loop.h"

namespace tran::test {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

inline constexpr Ms kDeadline = 10s;

inline frame::FrameRecord Rec(std::uint32_t id, bool extended, std::vector<std::uint8_t> data,
                              int length_code = -1) {
  return frame::MakeRecord(
      id, extended, data.data(),
      static_cast<std::uint8_t>(length_code < 0 ? data.size() : std::size_t(length_code)), 0);
}

inline frame::FrameRecord WithoutStamp(frame::FrameRecord record) {
  record[14] = record[15] = 0;
  return record;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tran_test_XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Polls `condition` until it holds or the deadline passes.
inline bool WaitFor(const std::function<bool()>& condition, Ms limit = kDeadline) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// An zelk::EventLoop running on its own thread; RunOnLoop executes code there and waits.
class LoopThread {
 public:
  LoopThread() : thread_([this] { loop_.Run(); }) {}
  ~LoopThread() {
    loop_.Post([this] { loop_.Quit(); });
    thread_.join();
  }
  zelk::EventLoop& loop() { return loop_; }
  template <typename F>
  auto RunOnLoop(F f) -> decltype(f()) {
    std::packaged_task<decltype(f())()> task(std::move(f));
    auto result = task.get_future();
    loop_.Post([&task] { task(); });
    return result.get();
  }

 private:
  zelk::EventLoop loop_;
  std::thread thread_;
};

inline sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A blocking TCP peer with deadlines on every read.
class TcpPeer {
 public:
  explicit TcpPeer(int fd) : fd_(fd) {}
  static TcpPeer Connect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return TcpPeer(fd);
  }
  TcpPeer(TcpPeer&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  ~TcpPeer() {
    if (fd_ >= 0) ::close(fd_);
  }
  // Closes with a reset instead of an orderly shutdown.
  void Abort() {
    linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(std::exchange(fd_, -1));
  }
  bool Send(const std::string& text) {
    return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }
  // One recv() with a deadline: nullopt on timeout, "" on close.
  std::optional<std::string> RecvOnce(Ms limit = kDeadline) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
    char buffer[65536];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    return n <= 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
  }
  // Reads until `text` has been seen; returns everything read (empty on timeout or close).
  std::string ReadUntil(const std::string& text) {
    while (pending_.find(text) == std::string::npos) {
      const auto got = RecvOnce();
      if (!got || got->empty()) return {};
      pending_ += *got;
    }
    const std::size_t cut = pending_.find(text) + text.size();
    std::string out = pending_.substr(0, cut);
    pending_.erase(0, cut);
    return out;
  }
  // True when the peer closes within the deadline (data before the close is discarded).
  bool WaitClosed() {
    for (int reads = 0; reads < 10000; ++reads) {
      const auto got = RecvOnce();
      if (!got) return false;
      if (got->empty()) return true;
    }
    return false;
  }

 private:
  int fd_;
  std::string pending_;
};

// A listening socket on 127.0.0.1 with an ephemeral port.
class TcpListener {
 public:
  TcpListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = Loopback(0);
    socklen_t size = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size);
    ::listen(fd_, 8);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~TcpListener() { ::close(fd_); }
  std::uint16_t port() const { return port_; }
  std::optional<TcpPeer> Accept() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(kDeadline.count())) <= 0) return std::nullopt;
    return TcpPeer(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
  }

 private:
  int fd_;
  std::uint16_t port_ = 0;
};

// A child process with its stderr and stdout in files.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args,
        const std::vector<std::string>& env, const std::string& stderr_path,
        const std::string& stdout_path = "/dev/null") {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
      ::dup2(::open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
      for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
  }
  ~Child() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  void Signal(int signal) { ::kill(pid_, signal); }
  // Exit status (or 128 + signal) once the child ends within the deadline.
  std::optional<int> Wait(Ms limit = kDeadline) {
    WaitFor(
        [this] {
          int status = 0;
          if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          }
          return status_.has_value();
        },
        limit);
    return status_;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace tran::test
