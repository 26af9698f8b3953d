// A second user for the tests of who may reach the bus: user nobody (65534), had as root by
// setpriv for a program, or by fork and setuid for a hostile bus end that forges deliveries.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/hub/child_process.h"
#include "tests/hub/test_support.h"

namespace pelmo::testing {

inline constexpr unsigned kOtherUid = 65534;
inline constexpr const char* kSetpriv = "/usr/bin/setpriv";

// Why the tests cannot run anything as the other user, or empty when they can.
inline std::string OtherUserUnavailable() {
  if (::geteuid() != 0) return "needs root to run programs as another user";
  ChildProcess probe({kSetpriv, "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/true"});
  if (probe.Wait() != 0) return std::string(kSetpriv) + " cannot switch to uid 65534";
  return {};
}

// argv run as the other user.
inline std::vector<std::string> AsOtherUser(std::vector<std::string> argv) {
  argv.insert(argv.begin(), {kSetpriv, "--reuid=65534", "--regid=65534", "--clear-groups"});
  return argv;
}

// A directory owned by the other user, mode 0700, inside `parent` (which is opened to it for
// traversal); its bus socket path.
inline std::string OtherUsersBusDir(const std::string& parent) {
  const std::string dir = parent + "/other";
  if (::chmod(parent.c_str(), 0711) != 0 || ::mkdir(dir.c_str(), 0700) != 0 ||
      ::chown(dir.c_str(), kOtherUid, kOtherUid) != 0) {
    return {};
  }
  return dir + "/bus";
}

// A bus end served by a process of the other user that is not a hub of ours: it accepts every
// peer, tells it it is registered and delivers a forged frame at once, as a hostile user could.
class ForgingHub {
 public:
  static constexpr std::uint8_t kForgedByte = 0x66;

  explicit ForgingHub(const std::string& path) : path_(path) {
    // Everything the child needs is made before the fork: it only makes system calls.
    const auto info = EncodeMessage(MsgType::kInfo, 1, 0);
    const std::vector<std::uint8_t> record(16, kForgedByte);
    const auto deliver = EncodeMessage(MsgType::kDeliver, 0x10000412, 0, record);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), std::min(path.size(), sizeof addr.sun_path - 1));
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      if (::setgid(kOtherUid) != 0 || ::setuid(kOtherUid) != 0) ::_exit(10);
      const int listen_fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
      if (::bind(listen_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
          ::listen(listen_fd, 16) != 0) {
        ::_exit(11);
      }
      [[maybe_unused]] const auto n = ::write(ready[1], "r", 1);
      for (;;) {  // connections stay open until the process is killed
        const int fd = ::accept(listen_fd, nullptr, nullptr);
        if (fd < 0) continue;
        ::send(fd, info.data(), info.size(), MSG_NOSIGNAL);
        ::send(fd, deliver.data(), deliver.size(), MSG_NOSIGNAL);
      }
    }
    ::close(ready[1]);
    char byte = 0;
    listening_ = pid_ > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
  }
  ~ForgingHub() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::unlink(path_.c_str());
  }
  ForgingHub(const ForgingHub&) = delete;
  ForgingHub& operator=(const ForgingHub&) = delete;

  bool ok() const { return listening_; }

 private:
  std::string path_;
  pid_t pid_ = -1;
  bool listening_ = false;
};

}  // namespace pelmo::testing
