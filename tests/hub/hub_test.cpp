#include "hub/hub.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>

#include "tests/hub/test_support.h"

namespace pelmo {
namespace {

using testing::RawClient;
using testing::TempBus;
using testing::WaitUntil;

// Routing, the post observer and public variables are tested through the client library
// (tests/pelmo), which drives this hub in-process.
constexpr std::uint32_t kMonitorPost = 0x20000412;
constexpr std::uint32_t kBridgeDelivery = 0x10000412;

std::vector<std::uint8_t> Block(std::uint32_t tag, std::size_t size = 16) {
  std::vector<std::uint8_t> b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(tag + i);
  return b;
}

class HubTest : public ::testing::Test {
 protected:
  void StartHub(std::size_t queue_blocks = 4096, std::size_t queue_bytes = 64 << 20,
                std::function<void(std::uint32_t, std::span<const std::uint8_t>)> observer = {}) {
    hub_ = std::make_unique<Hub>(HubOptions{bus_.path(), queue_blocks, queue_bytes});
    if (observer) hub_->SetPostObserver(std::move(observer));
    std::string error;
    ASSERT_EQ(hub_->Start(&error), HubStart::kStarted) << error;
  }
  bool WaitClients(std::uint64_t n) {
    return WaitUntil([&] { return hub_->Stats().clients == n; });
  }

  TempBus bus_;
  std::unique_ptr<Hub> hub_;
};

// The producer stays a few blocks ahead of one reader that keeps up, while a third client
// never reads: the reader gets every block in order, the stalled client's are dropped.
TEST_F(HubTest, stalled_client_is_dropped_from_while_others_receive_everything) {
  constexpr std::size_t kQueue = 32;
  constexpr std::uint32_t kBlocks = 2000;
  constexpr std::uint32_t kWindow = kQueue / 2;
  StartHub(kQueue);
  RawClient producer(bus_.path()), reader(bus_.path()), stalled(bus_.path());
  producer.Register(0x400);
  reader.Register(0x400);
  stalled.Register(0x400);
  ASSERT_TRUE(WaitClients(3));

  std::atomic<std::uint32_t> received{0};
  std::atomic<bool> send_ok{true};
  std::thread sender([&] {
    for (std::uint32_t i = 0; i < kBlocks && send_ok; ++i) {
      auto block = Block(i);
      std::memcpy(block.data(), &i, sizeof i);
      send_ok = WaitUntil([&] { return i - received.load() < kWindow; }) &&
                producer.Send(MsgType::kPost, kMonitorPost, block);
    }
  });
  std::uint32_t expected = 0;
  for (; expected < kBlocks; received = ++expected) {
    const auto got = reader.Receive();
    if (!got) break;
    std::uint32_t seq;
    std::memcpy(&seq, got->payload.data(), sizeof seq);
    if (seq != expected) break;
  }
  received = kBlocks;  // let the sender finish either way
  sender.join();
  ASSERT_EQ(expected, kBlocks) << "reader starved or lost a block";
  EXPECT_TRUE(send_ok);
  const HubStats stats = hub_->Stats();
  EXPECT_GT(stats.blocks_dropped, 0u);
  EXPECT_EQ(stats.clients, 3u);  // the stalled client stays connected

  // Once it reads, the stalled client finds the hub reported its losses.
  bool saw_drop_report = false;
  while (!saw_drop_report) {
    const auto raw = stalled.ReceiveRaw();
    ASSERT_TRUE(raw && !raw->empty());
    const auto m = ParseMessage(*raw);
    ASSERT_TRUE(m);
    saw_drop_report = m->type == MsgType::kInfo && m->b > 0;
  }
}

// A host that paces its deliveries sees the slowest client's backlog grow while it does not
// read, and fall back to nothing once it has read everything.
TEST_F(HubTest, reports_the_largest_client_backlog_to_the_host) {
  constexpr std::uint32_t kBlocks = 3000;
  StartHub(2 * kBlocks);
  RawClient slow(bus_.path()), quick(bus_.path());
  slow.Register(0x400);
  quick.Register(0x400);
  ASSERT_TRUE(WaitClients(2));
  EXPECT_EQ(hub_->LargestClientBacklog(), 0u);
  for (std::uint32_t i = 0; i < kBlocks; ++i) hub_->Deliver(kBridgeDelivery, Block(i, 4096));
  // The socket buffer takes some; the rest waits in the slow client's queue.
  EXPECT_TRUE(WaitUntil([&] { return hub_->LargestClientBacklog() >= kBlocks / 2; }))
      << hub_->LargestClientBacklog();
  for (RawClient* client : {&quick, &slow}) {
    for (std::uint32_t i = 0; i < kBlocks; ++i) {
      const auto got = client->Receive();
      ASSERT_TRUE(got) << "block " << i;
      ASSERT_EQ(got->payload, Block(i, 4096)) << "block " << i;
    }
  }
  EXPECT_TRUE(WaitUntil([&] { return hub_->LargestClientBacklog() == 0; }))
      << hub_->LargestClientBacklog();
  EXPECT_EQ(hub_->Stats().blocks_dropped, 0u);
}

// Big blocks fill a stalled client's queue by bytes long before its count of blocks.
TEST_F(HubTest, bounds_a_stalled_clients_queue_in_bytes) {
  constexpr std::size_t kBlockBytes = 64 * 1024;
  StartHub(4096, 1 << 20);
  RawClient stalled(bus_.path());
  stalled.Register(0x400);
  ASSERT_TRUE(WaitClients(1));
  for (std::uint32_t i = 0; i < 200; ++i) hub_->Deliver(kBridgeDelivery, Block(i, kBlockBytes));
  EXPECT_TRUE(WaitUntil([&] { return hub_->Stats().blocks_dropped > 0; }));
  // Once all are routed: whole packets (header and block) within 1 MiB, at most 15, wait.
  EXPECT_TRUE(WaitUntil([&] {
    return hub_->LargestClientBacklog() <= (1u << 20) / kBlockBytes - 1;
  })) << hub_->LargestClientBacklog();
}

// While the host pauses posters, a client that posted for it is left unread, and another
// client is served; on resume every post arrives, in order.
TEST_F(HubTest, pausing_posters_holds_their_posts_back_and_loses_none) {
  std::mutex mutex;
  std::vector<std::uint8_t> observed;  // first byte of each observed post
  StartHub(4096, 64 << 20, [&](std::uint32_t, std::span<const std::uint8_t> block) {
    std::lock_guard lock(mutex);
    observed.push_back(block[0]);
  });
  const auto seen = [&] {
    std::lock_guard lock(mutex);
    return observed;
  };
  RawClient poster(bus_.path()), other(bus_.path());
  poster.Register(0x400);
  other.Register(0x400);
  ASSERT_TRUE(WaitClients(2));
  ASSERT_TRUE(poster.Send(MsgType::kPost, kMonitorPost, Block(0)));
  ASSERT_TRUE(WaitUntil([&] { return seen().size() == 1; }));
  hub_->PausePosters(1);
  hub_->PausePosters(2);
  for (std::uint32_t i = 1; i <= 20; ++i)
    ASSERT_TRUE(poster.Send(MsgType::kPost, kMonitorPost, Block(i)));
  ASSERT_TRUE(other.Send(MsgType::kGetVar, 7, AsBytes("nothing")));
  const auto reply = other.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, MsgType::kReply);
  EXPECT_EQ(seen().size(), 1u) << "a paused poster was read";
  hub_->ResumePosters(1);  // one reason is left
  ASSERT_TRUE(other.Send(MsgType::kGetVar, 8, AsBytes("nothing")));
  ASSERT_TRUE(other.Receive());
  EXPECT_EQ(seen().size(), 1u) << "read while a pause reason was left";
  hub_->ResumePosters(2);
  ASSERT_TRUE(WaitUntil([&] { return seen().size() == 21; })) << seen().size();
  std::vector<std::uint8_t> expected(21);
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(seen(), expected);
}

// Garbage, truncated and oversized packets, and messages out of place, each close the
// offender's connection only. Every malformed shape is covered by the parser's own test.
TEST_F(HubTest, bad_message_closes_only_that_connection) {
  auto truncated = EncodeMessage(MsgType::kPost, kMonitorPost, 0, Block(0, 64));
  truncated.resize(truncated.size() - 10);  // the length field promises 10 more bytes
  const struct {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool registered;
  } cases[] = {
      {"garbage", {'h', 'e', 'l', 'l', 'o', ' ', 'h', 'u', 'b', '!', 0, 1, 2, 3, 4, 5}, true},
      {"truncated", truncated, true},
      {"oversized", std::vector<std::uint8_t>(kMaxMessage + 100, 0x55), true},
      {"hub-only type", EncodeMessage(MsgType::kDeliver, kMonitorPost, 0, Block(1)), true},
      {"post before register", EncodeMessage(MsgType::kPost, kMonitorPost, 0, Block(1)), false},
  };
  StartHub();
  RawClient poster(bus_.path()), listener(bus_.path());
  poster.Register(0x400);
  listener.Register(0x400);
  ASSERT_TRUE(WaitClients(2));
  std::uint64_t bad = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient offender(bus_.path());
    if (c.registered) {
      offender.Register(0x400);
      ASSERT_TRUE(WaitClients(3));
    }
    ASSERT_TRUE(offender.SendRaw(c.bytes));
    EXPECT_TRUE(offender.WaitClosed());
    EXPECT_EQ(hub_->Stats().bad_messages, ++bad);
    ASSERT_TRUE(WaitClients(2));
    // The others carry on.
    ASSERT_TRUE(poster.Send(MsgType::kPost, kMonitorPost, Block(9)));
    const auto got = listener.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->payload, Block(9));
  }
}

TEST_F(HubTest, replaces_a_stale_socket_but_never_a_live_hub_or_another_file_nor_restarts) {
  // A plain file at the path is refused and left alone.
  ASSERT_TRUE(PrepareBusDirectory(bus_.path(), nullptr));
  std::fclose(std::fopen(bus_.path().c_str(), "w"));
  std::string error;
  EXPECT_EQ(Hub(HubOptions{bus_.path(), 16}).Start(&error), HubStart::kFailed);
  EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
  ASSERT_EQ(::unlink(bus_.path().c_str()), 0);

  // A socket file left by a dead hub: bound, then closed without unlink.
  const int stale = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, bus_.path().c_str());
  ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(stale);
  StartHub();

  Hub second(HubOptions{bus_.path(), 16});
  EXPECT_EQ(second.Start(&error), HubStart::kAlreadyServed);
  EXPECT_NE(error.find(bus_.path()), std::string::npos);
  second.Stop();  // must not remove the live hub's socket
  // Starting the live hub once more is refused and leaves its listening socket open.
  EXPECT_EQ(hub_->Start(&error), HubStart::kFailed);
  EXPECT_EQ(error, "hub already started");
  RawClient a(bus_.path());
  a.Register(0x400);
  ASSERT_TRUE(WaitClients(1));
  hub_->Deliver(kBridgeDelivery, Block(2));
  EXPECT_TRUE(a.Receive());

  hub_->Stop();
  struct stat st;
  EXPECT_NE(::lstat(bus_.path().c_str(), &st), 0);  // the socket file is gone
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
    // Refused: at most an error message, then the connection ends.
    const auto first = c.ReceiveRaw();
    if (!first) ::_exit(12);
    if (first->empty()) ::_exit(0);
    const auto m = ParseMessage(*first);
    if (!m || m->type != MsgType::kError) ::_exit(13);
    ::_exit(c.WaitClosed() ? 0 : 14);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(hub_->Stats().clients, 0u);
}

}  // namespace
}  // namespace pelmo
