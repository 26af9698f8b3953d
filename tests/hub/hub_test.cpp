#include "hub/hub.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "tests/hub/test_support.h"

namespace pelmo {
namespace {

using testing::RawClient;
using testing::TempBus;
using testing::WaitUntil;

constexpr std::uint32_t kMonitorPost = 0x20000412;
constexpr std::uint32_t kBridgeDelivery = 0x10000412;

std::vector<std::uint8_t> Block(std::uint32_t tag, std::size_t size = 16) {
  std::vector<std::uint8_t> b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(tag + i);
  return b;
}

class HubTest : public ::testing::Test {
 protected:
  void StartHub(std::size_t queue_blocks = 4096) {
    hub_ = std::make_unique<Hub>(HubOptions{bus_.path(), queue_blocks});
    std::string error;
    ASSERT_EQ(hub_->Start(&error), HubStart::kStarted) << error;
  }
  bool WaitClients(std::uint64_t n) {
    return WaitUntil([&] { return hub_->Stats().clients == n; });
  }

  TempBus bus_;
  std::unique_ptr<Hub> hub_;
};

TEST_F(HubTest, routes_posts_to_other_clients_sharing_a_route_bit) {
  StartHub();
  RawClient poster(bus_.path()), monitor(bus_.path()), other_route(bus_.path());
  ASSERT_TRUE(poster.Register(0x400));
  ASSERT_TRUE(monitor.Register(1024));
  ASSERT_TRUE(other_route.Register(0x100));
  ASSERT_TRUE(WaitClients(3));

  const auto block = Block(7, 32);
  ASSERT_TRUE(poster.Send(MsgType::kPost, kMonitorPost, 0, block));
  const auto got = monitor.Receive();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->type, MsgType::kDeliver);
  EXPECT_EQ(got->a, kMonitorPost);  // code unchanged
  EXPECT_EQ(got->payload, block);
  // Neither the poster itself nor a client without the route bit sees it.
  EXPECT_FALSE(poster.Receive(std::chrono::milliseconds(100)));
  EXPECT_FALSE(other_route.Receive(std::chrono::milliseconds(100)));
  EXPECT_EQ(hub_->Stats().blocks_routed, 1u);
}

TEST_F(HubTest, delivers_host_blocks_to_every_matching_client_and_observes_posts) {
  hub_ = std::make_unique<Hub>(HubOptions{bus_.path(), 4096});
  std::mutex mutex;
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> observed;
  hub_->SetPostObserver([&](std::uint32_t code, std::span<const std::uint8_t> block) {
    std::lock_guard lock(mutex);
    observed.emplace_back(code, std::vector<std::uint8_t>(block.begin(), block.end()));
  });
  ASSERT_EQ(hub_->Start(), HubStart::kStarted);
  RawClient a(bus_.path()), b(bus_.path()), c(bus_.path());
  a.Register(0x400);
  b.Register(0x600);
  c.Register(0x001);
  ASSERT_TRUE(WaitClients(3));

  const auto block = Block(1, 64);
  hub_->Deliver(kBridgeDelivery, block);
  for (RawClient* r : {&a, &b}) {
    const auto got = r->Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->a, kBridgeDelivery);
    EXPECT_EQ(got->payload, block);
  }
  EXPECT_FALSE(c.Receive(std::chrono::milliseconds(100)));

  ASSERT_TRUE(c.Send(MsgType::kPost, 0x20000012, 0, Block(3)));  // routes nowhere
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return observed.size() == 1;
  }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(observed[0].first, 0x20000012u);
  EXPECT_EQ(observed[0].second, Block(3));
}

TEST_F(HubTest, stalled_client_is_dropped_from_while_others_receive_everything) {
  constexpr std::size_t kQueue = 32;
  constexpr std::uint32_t kBlocks = 2000;
  StartHub(kQueue);
  RawClient producer(bus_.path()), reader(bus_.path()), stalled(bus_.path());
  producer.Register(0x400);
  reader.Register(0x400);
  stalled.Register(0x400);  // never reads
  ASSERT_TRUE(WaitClients(3));

  // The producer stays at most kWindow blocks ahead of the reader: a reader that keeps up.
  constexpr std::uint32_t kWindow = kQueue / 2;
  std::atomic<std::uint32_t> received{0};
  std::atomic<bool> send_ok{true};
  std::thread sender([&] {
    for (std::uint32_t i = 0; i < kBlocks; ++i) {
      if (!WaitUntil([&] { return i - received.load() < kWindow; })) send_ok = false;
      auto block = Block(i, 16);
      std::memcpy(block.data(), &i, sizeof i);
      if (!producer.Send(MsgType::kPost, kMonitorPost, 0, block)) send_ok = false;
    }
  });
  std::uint32_t expected = 0;
  std::string failure;
  while (expected < kBlocks && failure.empty()) {
    const auto got = reader.Receive();
    if (!got) {
      failure = "reader starved after " + std::to_string(expected) + " blocks";
      break;
    }
    std::uint32_t seq;
    std::memcpy(&seq, got->payload.data(), sizeof seq);
    if (seq != expected) failure = "block " + std::to_string(expected) + " lost";
    received = ++expected;
  }
  received = kBlocks;  // let the sender finish either way
  sender.join();
  ASSERT_EQ(failure, "");
  EXPECT_TRUE(send_ok);
  const HubStats stats = hub_->Stats();
  EXPECT_GT(stats.blocks_dropped, 0u);
  EXPECT_LE(stats.blocks_dropped, kBlocks);
  EXPECT_EQ(stats.clients, 3u);  // the stalled client stays connected

  // Once it reads, the stalled client finds the hub reported its losses.
  bool saw_drop_report = false;
  for (int i = 0; i < 10000 && !saw_drop_report; ++i) {
    auto raw = stalled.ReceiveRaw(std::chrono::milliseconds(2000));
    ASSERT_TRUE(raw && !raw->empty());
    const auto m = ParseMessage(*raw);
    ASSERT_TRUE(m);
    saw_drop_report = m->type == MsgType::kInfo && m->b > 0;
  }
  EXPECT_TRUE(saw_drop_report);
}

struct BadMessageCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
};

std::vector<BadMessageCase> BadMessages() {
  std::vector<BadMessageCase> cases;
  cases.push_back(
      {"garbage", {'h', 'e', 'l', 'l', 'o', ' ', 'h', 'u', 'b', '!', 0, 1, 2, 3, 4, 5}});
  cases.push_back({"short header", {0x70, 0x6D, 1}});
  auto truncated = EncodeMessage(MsgType::kPost, kMonitorPost, 0, Block(0, 64));
  truncated.resize(truncated.size() - 10);  // the length field promises 10 more bytes
  cases.push_back({"truncated", truncated});
  cases.push_back({"oversized", std::vector<std::uint8_t>(kMaxMessage + 100, 0x55)});
  auto big_block = EncodeMessage(MsgType::kPost, kMonitorPost, 0, Block(0, kMaxPayload));
  big_block.resize(big_block.size() + 1);
  const std::uint32_t len = kMaxPayload + 1;
  std::memcpy(big_block.data() + 12, &len, 4);
  cases.push_back({"block over the limit", big_block});
  cases.push_back({"hub-only type", EncodeMessage(MsgType::kDeliver, kMonitorPost, 0, Block(1))});
  cases.push_back(
      {"post before register", EncodeMessage(MsgType::kPost, kMonitorPost, 0, Block(1))});
  return cases;
}

TEST_F(HubTest, bad_message_closes_only_that_connection) {
  StartHub();
  RawClient poster(bus_.path()), listener(bus_.path());
  poster.Register(0x400);
  listener.Register(0x400);
  ASSERT_TRUE(WaitClients(2));
  std::uint64_t bad = 0;
  for (const auto& c : BadMessages()) {
    SCOPED_TRACE(c.name);
    RawClient offender(bus_.path());
    ASSERT_TRUE(offender.ok());
    if (std::string_view(c.name) != "post before register") {
      offender.Register(0x400);
      ASSERT_TRUE(WaitClients(3));
    }
    ASSERT_TRUE(offender.SendRaw(c.bytes));
    EXPECT_TRUE(offender.WaitClosed());
    EXPECT_EQ(hub_->Stats().bad_messages, ++bad);
    ASSERT_TRUE(WaitClients(2));
    // The others carry on.
    ASSERT_TRUE(poster.Send(MsgType::kPost, kMonitorPost, 0, Block(9)));
    const auto got = listener.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->payload, Block(9));
  }
}

TEST_F(HubTest, replaces_a_stale_socket_but_never_steals_a_live_hub) {
  // A socket file left by a dead hub: bound, then closed without unlink.
  ASSERT_TRUE(PrepareBusDirectory(bus_.path(), nullptr));
  const int stale = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, bus_.path().c_str());
  ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(stale);

  StartHub();
  Hub second(HubOptions{bus_.path(), 16});
  std::string error;
  EXPECT_EQ(second.Start(&error), HubStart::kAlreadyServed);
  EXPECT_NE(error.find(bus_.path()), std::string::npos);
  second.Stop();  // must not remove the live hub's socket

  RawClient a(bus_.path()), b(bus_.path());
  a.Register(0x400);
  b.Register(0x400);
  ASSERT_TRUE(WaitClients(2));
  hub_->Deliver(kBridgeDelivery, Block(2));
  EXPECT_TRUE(a.Receive());

  hub_->Stop();
  struct stat st;
  EXPECT_NE(::lstat(bus_.path().c_str(), &st), 0);  // the socket file is gone
}

TEST_F(HubTest, refuses_a_path_that_is_not_a_socket) {
  ASSERT_TRUE(PrepareBusDirectory(bus_.path(), nullptr));
  {
    std::FILE* f = std::fopen(bus_.path().c_str(), "w");
    ASSERT_TRUE(f);
    std::fclose(f);
  }
  Hub hub(HubOptions{bus_.path(), 16});
  std::string error;
  EXPECT_EQ(hub.Start(&error), HubStart::kFailed);
  EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
}

TEST_F(HubTest, keeps_public_variables_and_strings) {
  StartHub();
  RawClient c(bus_.path());
  ASSERT_TRUE(c.Send(MsgType::kSetVar, 1, static_cast<std::uint32_t>(-5), AsBytes("speed")));
  ASSERT_TRUE(c.Send(MsgType::kGetVar, 2, 0, AsBytes("speed")));
  ASSERT_TRUE(c.Send(MsgType::kGetVar, 3, 0, AsBytes("missing")));
  ASSERT_TRUE(c.SendRaw(EncodeMessage(MsgType::kSetStr, 4, 4, "port", "can0")));
  ASSERT_TRUE(c.Send(MsgType::kGetStr, 5, 0, AsBytes("port")));
  struct Expect {
    std::uint32_t id, status;
    std::vector<std::uint8_t> payload;
  };
  const std::int32_t minus5 = -5;
  const std::vector<Expect> expected = {
      {1, 1, {}},
      {2,
       1,
       {reinterpret_cast<const std::uint8_t*>(&minus5),
        reinterpret_cast<const std::uint8_t*>(&minus5) + 4}},
      {3, 0, {}},
      {4, 1, {}},
      {5, 1, {'c', 'a', 'n', '0'}},
  };
  for (const auto& e : expected) {
    const auto got = c.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->type, MsgType::kReply);
    EXPECT_EQ(got->a, e.id);
    EXPECT_EQ(got->b, e.status);
    EXPECT_EQ(got->payload, e.payload);
  }
}

TEST_F(HubTest, refuses_a_peer_of_another_user) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  const passwd* nobody = ::getpwnam("nobody");
  if (!nobody) GTEST_SKIP() << "no user nobody";
  StartHub();
  // Let the other user reach the socket so that the hub's own check is what refuses it.
  ASSERT_EQ(::chmod(bus_.dir().c_str(), 0711), 0);
  ASSERT_EQ(::chmod(bus_.path().c_str(), 0777), 0);

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) ::_exit(10);
    RawClient c(bus_.path());
    if (!c.ok()) ::_exit(11);
    c.Register(0x400);
    // Refused: the hub's only words are an error, then the connection ends.
    auto first = c.ReceiveRaw(std::chrono::seconds(10));
    if (!first) ::_exit(12);
    if (!first->empty()) {
      const auto m = ParseMessage(*first);
      if (!m || m->type != MsgType::kError) ::_exit(13);
    }
    ::_exit(c.WaitClosed(std::chrono::seconds(10)) || first->empty() ? 0 : 14);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(hub_->Stats().clients, 0u);
}

}  // namespace
}  // namespace pelmo
