#include "hub/bus_path.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "hub/hub.h"

namespace pelmo {

namespace {

std::string Parent(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// mkdir -p with mode 0700 for every directory it creates.
bool MakeDirs(const std::string& dir, std::string* error) {
  struct stat st;
  if (::lstat(dir.c_str(), &st) == 0) return true;
  const std::string parent = Parent(dir);
  if (parent != dir && !MakeDirs(parent, error)) return false;
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error) *error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

std::string DefaultBusPath() {
  if (const char* bus = std::getenv("PELMO_BUS"); bus && *bus) return bus;
  if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run) {
    return std::string(run) + "/pelmo/bus";
  }
  return "/tmp/pelmo-" + std::to_string(::getuid()) + "/bus";
}

bool BusPathFits(const std::string& socket_path) {
  return !socket_path.empty() && socket_path.size() < sizeof(sockaddr_un{}.sun_path);
}

bool PrepareBusDirectory(const std::string& socket_path, std::string* error) {
  if (!BusPathFits(socket_path)) {
    if (error) *error = "bus path empty or too long: " + socket_path;
    return false;
  }
  const std::string dir = Parent(socket_path);
  if (!MakeDirs(dir, error)) return false;
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) {
    if (error) *error = "cannot inspect " + dir + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    if (error) *error = dir + " is not a directory";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    if (error) *error = dir + " is owned by another user";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    if (error) *error = dir + " is writable by group or others";
    return false;
  }
  return true;
}

int ConnectBus(const std::string& socket_path) {
  if (!BusPathFits(socket_path)) return -ENAMETOOLONG;
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socket_path.data(), socket_path.size());
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    ::close(fd);
    return -err;
  }
  return fd;
}

long PeerUid(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return -1;
  return static_cast<long>(cred.uid);
}

bool HubTrusted(int fd) {
  const long uid = PeerUid(fd);
  return uid == static_cast<long>(::geteuid()) || uid == 0;
}

}  // namespace pelmo
