#include "tran/core/status_query.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "hub/bus_path.h"
#include "hub/hub.h"
#include "hub/protocol.h"
#include "tran/core/status.h"

namespace tran {

namespace {

constexpr auto kAnswerWait = std::chrono::seconds(2);
constexpr auto kStopWait = std::chrono::seconds(5);
constexpr std::uint32_t kRequestId = 1;

int Fail(const std::string& message) {
  std::fprintf(stderr, "zelk_tran: %s\n", message.c_str());
  return 1;
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

AskResult AskCompanion(const std::string& bus_path, const std::string& name, std::string* answer,
                       std::string* error) {
  const std::string& path = bus_path;
  const auto fail = [&](AskResult result, const std::string& why) {
    if (error) *error = why;
    return result;
  };
  const auto deadline = std::chrono::steady_clock::now() + kAnswerWait;
  int fd = pelmo::ConnectBus(path);
  // A hub with a full accept queue answers EAGAIN: it is there, try again shortly.
  while (fd == -EAGAIN && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    fd = pelmo::ConnectBus(path);
  }
  if (fd == -ENOENT || fd == -ECONNREFUSED || fd == -ENOTDIR) {
    return fail(AskResult::kNoCompanion, "no companion serves " + path);
  }
  if (fd == -EACCES || fd == -EPERM) {
    return fail(AskResult::kUnreachable, "cannot use the bus at " + path +
                                             ": permission denied (it belongs to another user)");
  }
  if (fd < 0) {
    return fail(AskResult::kUnreachable,
                "cannot reach the bus at " + path + ": " + std::strerror(-fd));
  }
  const Fd owned{fd};
  if (!pelmo::HubTrusted(fd)) {
    return fail(AskResult::kUnreachable, "cannot use the bus at " + path +
                                             ": its hub runs as another user and is not trusted");
  }
  const auto request =
      pelmo::EncodeMessage(pelmo::MsgType::kQuery, kRequestId, 0, pelmo::AsBytes(name));
  pollfd p{fd, POLLOUT, 0};
  if (::poll(&p, 1, static_cast<int>(kAnswerWait.count() * 1000)) <= 0 ||
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(request.size())) {
    return fail(AskResult::kUnreachable,
                "cannot ask the companion at " + path + ": " + std::strerror(errno));
  }
  std::vector<std::uint8_t> buffer(pelmo::kMaxMessage);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    p = {fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      return fail(AskResult::kUnreachable,
                  "the companion at " + path + " did not answer within 2 s");
    }
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0)
      return fail(AskResult::kUnreachable, "the hub at " + path + " closed the connection");
    const auto message = pelmo::ParseMessage({buffer.data(), static_cast<std::size_t>(n)});
    if (!message) {
      return fail(AskResult::kUnreachable, "the hub at " + path + " sent a malformed answer");
    }
    if (message->type == pelmo::MsgType::kError) {
      if (message->a == static_cast<std::uint32_t>(pelmo::WireError::kWrongPeer)) {
        return fail(AskResult::kUnreachable,
                    "cannot use the bus at " + path +
                        ": its hub refused this user (it serves another user)");
      }
      return fail(AskResult::kUnreachable, "the hub at " + path + " refused the question");
    }
    if (message->type != pelmo::MsgType::kAnswer || message->a != kRequestId) continue;
    if (message->b == 0) {
      return fail(AskResult::kNotAnswered,
                  "the hub at " + path + " is not a companion's (it does not answer)");
    }
    if (answer) answer->assign(pelmo::AsText(message->payload));
    return AskResult::kAnswered;
  }
}

int QueryStatus(const std::string& bus_path, bool json) {
  std::string answer;
  std::string error;
  const std::string path = bus_path.empty() ? pelmo::DefaultBusPath() : bus_path;
  if (AskCompanion(path, json ? kStatusJsonName : kStatusTextName, &answer, &error) !=
      AskResult::kAnswered) {
    return Fail(error);
  }
  std::fwrite(answer.data(), 1, answer.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int StopCompanion(const std::string& bus_path, bool none_is_ok) {
  std::string error;
  const std::string path = bus_path.empty() ? pelmo::DefaultBusPath() : bus_path;
  switch (AskCompanion(path, kStopName, nullptr, &error)) {
    case AskResult::kAnswered:
      break;
    case AskResult::kNoCompanion:
      return none_is_ok ? 0 : Fail(error);
    case AskResult::kNotAnswered:
    case AskResult::kUnreachable:
      return Fail(error);
  }
  // It ends once its loop has stopped; the bus is free when nothing answers there.
  const auto deadline = std::chrono::steady_clock::now() + kStopWait;
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = pelmo::ConnectBus(path);
    if (fd >= 0) ::close(fd);
    if (fd == -ENOENT || fd == -ECONNREFUSED) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return Fail("the companion at " + path + " did not stop within " +
              std::to_string(kStopWait.count()) + " s");
}

}  // namespace tran
