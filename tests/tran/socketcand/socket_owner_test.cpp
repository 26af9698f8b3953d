#include "tran/socketcand/socket_owner.h"

#include <gtest/gtest.h>

#include "tests/tran/test_support.h"

namespace tran {
namespace {

using namespace test;

TEST(is_loopback_address, takes_only_addresses_this_machine_alone_reaches) {
  const std::pair<const char*, bool> cases[] = {
      {"127.0.0.1", true},        {"127.255.0.9", true},      {"::1", true},  {"localhost", true},
      {"::ffff:127.0.0.1", true}, {"0.0.0.0", false},         {"::", false},  {"128.0.0.1", false},
      {"192.168.1.20", false},    {"::ffff:10.0.0.1", false}, {"::2", false}, {"nonsense", false},
  };
  for (const auto& [address, loopback] : cases) {
    EXPECT_EQ(IsLoopbackAddress(address), loopback) << address;
  }
}

// A connected pair over the loopback of `family`; nullopt where that family has no loopback.
struct Pair {
  int client = -1;
  int server = -1;
  ~Pair() {
    if (client >= 0) ::close(client);
    if (server >= 0) ::close(server);
  }
};

bool Connect(int family, Pair& pair) {
  sockaddr_storage address{};
  socklen_t size = 0;
  if (family == AF_INET) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(address);
    v4 = Loopback(0);
    size = sizeof v4;
  } else {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    size = sizeof v6;
  }
  const int listener = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return false;
  const bool listening = ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                         ::listen(listener, 1) == 0 &&
                         ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) == 0;
  if (listening) {
    pair.client = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(pair.client, reinterpret_cast<sockaddr*>(&address), size) == 0) {
      pair.server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
  }
  ::close(listener);
  return pair.server >= 0;
}

TEST(tcp_peer_owner, names_our_uid_for_a_loopback_connection_we_made) {
  for (const int family : {AF_INET, AF_INET6}) {
    Pair pair;
    if (!Connect(family, pair)) {
      EXPECT_EQ(family, AF_INET6) << "no IPv4 loopback";
      continue;  // a machine without IPv6 on lo
    }
    std::string error;
    const auto owner = TcpPeerOwner(pair.server, &error);
    ASSERT_TRUE(owner) << error;
    EXPECT_EQ(*owner, ::geteuid()) << family;
  }
}

// A closed peer's remains in the kernel report uid 0 (TIME_WAIT) or a stale owner: no answer.
TEST(tcp_peer_owner, names_nobody_for_a_peer_that_closed_or_a_socket_not_connected) {
  Pair pair;
  ASSERT_TRUE(Connect(AF_INET, pair));
  ::close(std::exchange(pair.client, -1));
  std::string error;
  EXPECT_EQ(TcpPeerOwner(pair.server, &error), std::nullopt);
  EXPECT_EQ(error, "the peer had closed its socket already");

  const int lone = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_EQ(TcpPeerOwner(lone, &error), std::nullopt);
  EXPECT_NE(error.find("not connected"), std::string::npos) << error;
  ::close(lone);
}

}  // namespace
}  // namespace tran
