#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "hub/hub.h"
#include "pelmo.h"
#include "tests/hub/child_process.h"
#include "tests/hub/other_user.h"
#include "tests/hub/stalled_hub.h"
#include "tests/pelmo/test_window.h"

namespace pelmo {
namespace {

using testing::ChildProcess;
using testing::Info;
using testing::StalledHub;
using testing::TempBus;
using testing::TestWindow;
using testing::WaitUntil;

constexpr std::uint32_t kMonitorPost = 0x20000412;
constexpr std::uint32_t kBridgeDelivery = 0x10000412;
constexpr std::uint32_t kQueueBound = 4096;  // posts a window holds for the hub

std::vector<std::uint8_t> Record(std::uint32_t seq, std::size_t size = 16) {
  std::vector<std::uint8_t> b(size, static_cast<std::uint8_t>(seq * 7));
  std::memcpy(b.data(), &seq, std::min(size, sizeof seq));
  return b;
}

class PelmoTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("PELMO_BUS", bus_.path().c_str(), 1); }
  void TearDown() override {
    // Every test leaves the process without windows, hence without a library thread.
    EXPECT_EQ(Info(PM_INFO_REGISTERED), 0u);
  }

  // host: the hub has a post observer, as the companion's does; without, it is pelmo_hub alone.
  void StartHub(std::size_t queue_blocks = 4096, bool host = true) {
    hub_ = std::make_unique<Hub>(HubOptions{bus_.path(), queue_blocks});
    if (host)
      hub_->SetPostObserver([this](std::uint32_t code, std::span<const std::uint8_t> block) {
        std::lock_guard lock(observed_mutex_);
        observed_.emplace_back(code, std::vector<std::uint8_t>(block.begin(), block.end()));
      });
    std::string error;
    ASSERT_EQ(hub_->Start(&error), HubStart::kStarted) << error;
  }
  bool WaitClients(std::uint64_t n) {
    return WaitUntil([&] { return hub_->Stats().clients == n; });
  }
  std::size_t Observed() {
    std::lock_guard lock(observed_mutex_);
    return observed_.size();
  }

  TempBus bus_;
  std::unique_ptr<Hub> hub_;
  std::mutex observed_mutex_;
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> observed_;
};

// A block goes to every other window whose value shares a bit with code bits 8..15, never
// back to its poster. The host observes every posted block and, being the bridge, is the only
// one to get a monitor's frames for the CAN bus; a bridge's delivery posted by a client goes to
// the other windows.
TEST_F(PelmoTest, routes_blocks_between_windows_and_from_the_host) {
  StartHub();
  TestWindow monitor, tool, other;
  ASSERT_TRUE(monitor.Register(1024, "zelk_test"));
  ASSERT_TRUE(tool.Register(0x600, "tool"));
  ASSERT_TRUE(other.Register(0x100, "other"));
  ASSERT_TRUE(WaitClients(3));

  ASSERT_EQ(tool.PostBlock(kMonitorPost, Record(1)), 1);
  ASSERT_EQ(tool.PostBlock(kBridgeDelivery, Record(3)), 1);
  std::uint32_t code = 0;
  auto block = monitor.NextBlock(&code);
  ASSERT_TRUE(block);
  EXPECT_EQ(code, kBridgeDelivery);  // the monitor's post before it went to the host alone
  EXPECT_EQ(*block, Record(3));
  ASSERT_TRUE(WaitUntil([&] { return Observed() == 2; }));
  EXPECT_EQ(observed_[0], std::pair(kMonitorPost, Record(1)));
  EXPECT_EQ(observed_[1], std::pair(kBridgeDelivery, Record(3)));

  hub_->Deliver(kBridgeDelivery, Record(2, 64));
  for (TestWindow* w : {&monitor, &tool}) {
    const auto n = w->Next();
    ASSERT_TRUE(n);
    EXPECT_EQ(n->message, PM_WM_BUS_NOTIFY);
    EXPECT_EQ(n->code, kBridgeDelivery);
    EXPECT_NE(n->handle, 0u);
    std::uint32_t count = 0;
    const auto* p = static_cast<const std::uint8_t*>(pmGetp(n->handle, &count));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::vector<std::uint8_t>(p, p + count), Record(2, 64));
    // A fetched handle is gone, but its bytes stay readable until the next fetch.
    std::uint32_t again = 99;
    EXPECT_EQ(pmGetp(n->handle, &again), nullptr);
    EXPECT_EQ(again, 0u);
    EXPECT_EQ(std::vector<std::uint8_t>(p, p + count), Record(2, 64));
  }
  // The poster never gets its own block; a window without the route bit gets nothing.
  EXPECT_FALSE(tool.Next(std::chrono::milliseconds(100)));
  EXPECT_FALSE(other.Next(std::chrono::milliseconds(0)));
  EXPECT_FALSE(monitor.Next(std::chrono::milliseconds(0)));
  EXPECT_EQ(Info(PM_INFO_CLIENTS), 3u);
  EXPECT_EQ(hub_->Stats().blocks_routed, 3u);
  EXPECT_EQ(hub_->Stats().blocks_dropped, 0u);
}

// The monitor registers before its companion has started: posts made meanwhile wait in a
// bounded queue (the newest beyond the bound refused and counted) and go out on connect. When
// the hub goes away and comes back, the window registers again by itself.
TEST_F(PelmoTest, registers_before_the_hub_and_again_after_each_restart) {
  constexpr std::uint32_t kExtra = 10;
  TestWindow monitor;
  ASSERT_TRUE(monitor.Register(1024, "zelk_test"));
  EXPECT_EQ(Info(PM_INFO_CONNECTED), 0u);
  const std::uint64_t dropped_before = Info(PM_INFO_DROPPED_POSTS);
  std::uint32_t accepted = 0;
  for (std::uint32_t i = 0; i < kQueueBound + kExtra; ++i) {
    accepted += monitor.PostBlock(kMonitorPost, Record(i));
  }
  EXPECT_EQ(accepted, kQueueBound);
  EXPECT_EQ(Info(PM_INFO_DROPPED_POSTS) - dropped_before, kExtra);
  EXPECT_EQ(Info(PM_INFO_QUEUED_POSTS), kQueueBound);

  StartHub();
  ASSERT_TRUE(WaitUntil([&] { return Observed() == kQueueBound; }));
  {
    std::lock_guard lock(observed_mutex_);
    for (std::uint32_t i = 0; i < kQueueBound; ++i) ASSERT_EQ(observed_[i].second, Record(i));
  }
  EXPECT_EQ(Info(PM_INFO_QUEUED_POSTS), 0u);
  for (std::uint32_t round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    if (round > 0) {
      hub_.reset();  // the hub goes away
      ASSERT_TRUE(WaitUntil([] { return Info(PM_INFO_CONNECTED) == 0; }));
      StartHub();
    }
    ASSERT_TRUE(WaitClients(1));
    EXPECT_EQ(Info(PM_INFO_CONNECTED), 1u);
    ASSERT_EQ(monitor.PostBlock(kMonitorPost, Record(round)), 1);
    ASSERT_TRUE(WaitUntil([&] { return Observed() == kQueueBound + round + 1; }));
    hub_->Deliver(kBridgeDelivery, Record(round, 32));
    const auto block = monitor.NextBlock();
    ASSERT_TRUE(block);
    EXPECT_EQ(*block, Record(round, 32));
  }
}

// Posts never wait: with a hub that reads nothing, the window takes exactly what its queue and
// the socket hold, refuses the rest with 0, and once the hub reads again exactly the accepted
// posts arrive, in order.
TEST_F(PelmoTest, post_to_a_stalled_hub_is_refused_at_the_bound_and_never_waits) {
  constexpr std::size_t kPostSize = 16 + 16;  // header + one record
  StalledHub hub(bus_.path());
  ASSERT_TRUE(hub.ok());
  const std::size_t in_socket = hub.SocketCapacity(kPostSize);
  ASSERT_GT(in_socket, 0u);

  TestWindow tool;
  ASSERT_TRUE(tool.Register(0x400, "tool"));
  ASSERT_TRUE(hub.Accept());
  const auto registration = hub.Connection().Receive();
  ASSERT_TRUE(registration);
  EXPECT_EQ(registration->type, MsgType::kRegister);
  ASSERT_TRUE(WaitUntil([] { return Info(PM_INFO_CONNECTED) == 1; }));

  // From here the hub reads nothing. Post (each call returns at once) until the socket is full
  // and the queue at its bound: then nothing can move any more.
  const std::uint64_t dropped_before = Info(PM_INFO_DROPPED_POSTS);
  std::uint32_t accepted = 0;
  std::uint64_t refused = 0;
  const auto end = std::chrono::steady_clock::now() + testing::kDeadline;
  while (hub.PendingBytes() != in_socket * kPostSize || Info(PM_INFO_QUEUED_POSTS) != kQueueBound) {
    ASSERT_LT(std::chrono::steady_clock::now(), end)
        << "in socket " << hub.PendingBytes() / kPostSize << " of " << in_socket << ", queued "
        << Info(PM_INFO_QUEUED_POSTS);
    if (tool.PostBlock(kMonitorPost, Record(accepted)) == 1) {
      ++accepted;
    } else {
      ++refused;
      std::this_thread::yield();
    }
    ASSERT_LE(Info(PM_INFO_QUEUED_POSTS), kQueueBound);
  }
  EXPECT_EQ(accepted, kQueueBound + in_socket);  // nothing taken beyond the bound
  constexpr int kMore = 10;
  for (int i = 0; i < kMore; ++i) {
    EXPECT_EQ(tool.PostBlock(kMonitorPost, Record(accepted)), 0);
  }
  EXPECT_EQ(Info(PM_INFO_QUEUED_POSTS), kQueueBound);
  EXPECT_EQ(Info(PM_INFO_DROPPED_POSTS) - dropped_before, refused + kMore);

  // The hub reads again: exactly the accepted posts arrive, in order, and nothing else.
  for (std::uint32_t i = 0; i < accepted; ++i) {
    const auto m = hub.Connection().Receive();
    ASSERT_TRUE(m) << i;
    ASSERT_EQ(m->type, MsgType::kPost) << i;
    ASSERT_EQ(m->a, kMonitorPost) << i;
    ASSERT_EQ(m->payload, Record(i)) << i;
  }
  ASSERT_TRUE(WaitUntil([] { return Info(PM_INFO_QUEUED_POSTS) == 0; }));
  EXPECT_EQ(hub.PendingBytes(), 0u);

  // Unregistering while the hub is stalled again returns, discarding what is still queued.
  while (tool.PostBlock(kMonitorPost, Record(accepted)) == 1) ++accepted;
  EXPECT_GT(Info(PM_INFO_QUEUED_POSTS), 0u);
  EXPECT_TRUE(tool.Unregister());
  EXPECT_EQ(Info(PM_INFO_QUEUED_POSTS), 0u);
}

// A window that fetches in order but falls 2048 blocks behind is read no further: the rest
// waits in the hub's queue, where a producer that paces itself sees it, and nothing is dropped.
// One that stops fetching (a paused monitor) is read on after a grace period.
TEST_F(PelmoTest, a_reader_that_falls_behind_leaves_the_rest_at_the_hub) {
  constexpr std::uint32_t kMark = 2048;
  constexpr std::uint32_t kBlocks = 8000;
  StartHub(kBlocks);
  TestWindow reader;
  ASSERT_TRUE(reader.Register(1024));
  ASSERT_TRUE(WaitClients(1));
  const std::uint64_t dropped_before = Info(PM_INFO_DROPPED_BLOCKS);
  std::uint32_t next = 0;
  const auto fetch_in_order = [&](std::uint32_t until) {
    for (; next < until; ++next) {
      const auto block = reader.NextBlock();
      ASSERT_TRUE(block) << next;
      ASSERT_EQ(*block, Record(next)) << next;
    }
  };
  hub_->Deliver(kBridgeDelivery, Record(0));
  fetch_in_order(1);
  for (std::uint32_t i = 1; i < kBlocks; ++i) hub_->Deliver(kBridgeDelivery, Record(i));
  ASSERT_TRUE(WaitUntil([&] { return hub_->Stats().blocks_routed >= kBlocks; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // time to read, if it would
  EXPECT_LE(reader.Waiting(), kMark + 64u) << "read on while far behind";
  EXPECT_GE(hub_->LargestClientBacklog(), kBlocks / 2) << "the hub's queue stayed short";
  fetch_in_order(kBlocks);

  // Paused: after one fetch it takes nothing, and gets everything notified all the same.
  for (std::uint32_t i = kBlocks; i < 2 * kBlocks; ++i) hub_->Deliver(kBridgeDelivery, Record(i));
  fetch_in_order(kBlocks + 1);
  EXPECT_TRUE(reader.WaitCount(kBlocks - 1));
  fetch_in_order(2 * kBlocks);
  EXPECT_EQ(Info(PM_INFO_DROPPED_BLOCKS), dropped_before);
  EXPECT_EQ(hub_->Stats().blocks_dropped, 0u);
  EXPECT_TRUE(reader.Unregister());
}

TEST_F(PelmoTest, backlog_of_unfetched_blocks_is_bounded_oldest_dropped) {
  constexpr std::uint32_t kBacklog = 16384;
  constexpr std::uint32_t kExtra = 100;
  StartHub(kBacklog + kExtra);
  TestWindow paused;  // a paused monitor: notified, never fetches
  ASSERT_TRUE(paused.Register(1024));
  ASSERT_TRUE(WaitClients(1));
  const std::uint64_t dropped_before = Info(PM_INFO_DROPPED_BLOCKS);
  for (std::uint32_t i = 0; i < kBacklog + kExtra; ++i) {
    hub_->Deliver(kBridgeDelivery, Record(i));
    if (i % 1024 == 1023) {
      ASSERT_TRUE(paused.WaitCount(i + 1));  // keep the hub queue short
    }
  }
  ASSERT_TRUE(paused.WaitCount(kBacklog + kExtra));
  EXPECT_EQ(Info(PM_INFO_DROPPED_BLOCKS) - dropped_before, kExtra);
  EXPECT_EQ(hub_->Stats().blocks_dropped, 0u);

  std::vector<std::uint32_t> handles;
  while (auto n = paused.Next(std::chrono::milliseconds(0))) handles.push_back(n->handle);
  ASSERT_EQ(handles.size(), kBacklog + kExtra);
  for (std::size_t i = 1; i < handles.size(); ++i) ASSERT_EQ(handles[i], handles[i - 1] + 1);
  std::uint32_t count = 0;
  EXPECT_EQ(pmGetp(handles[kExtra - 1], &count), nullptr);  // the newest dropped one
  const void* oldest_kept = pmGetp(handles[kExtra], &count);
  ASSERT_NE(oldest_kept, nullptr);
  EXPECT_EQ(std::memcmp(oldest_kept, Record(kExtra).data(), 16), 0);
  const void* newest = pmGetp(handles.back(), &count);
  ASSERT_NE(newest, nullptr);
  EXPECT_EQ(std::memcmp(newest, Record(kBacklog + kExtra - 1).data(), 16), 0);
}

// Calls without a hub are covered by the C consumer test.
TEST_F(PelmoTest, public_variables_and_strings_live_in_the_hub) {
  TestWindow a, b;
  ASSERT_TRUE(a.Register(1));
  StartHub();
  ASSERT_TRUE(WaitClients(1));
  std::int32_t value = 0;
  EXPECT_EQ(pmSetPublicVar("speed", -500000), 1);
  EXPECT_EQ(pmGetPublicVar("speed", &value), 1);
  EXPECT_EQ(value, -500000);
  EXPECT_EQ(pmGetPublicVar("missing", &value), 0);

  char text[8];
  const struct {
    const char* name;
    const char* value;
    int result;  // full length + 1; above the buffer size when truncated
    const char* text;
  } strings[] = {
      {"port", "can0", 5, "can0"}, {"empty", "", 1, ""}, {"long", "0123456789", 11, "0123456"}};
  for (const auto& c : strings) {
    EXPECT_EQ(pmSetStr(c.name, c.value), 1);
    EXPECT_EQ(pmGetStr(c.name, text, sizeof text), c.result) << c.name;
    EXPECT_STREQ(text, c.text);
  }
  EXPECT_EQ(pmGetStr("missing", text, sizeof text), 0);

  // Another window (another connection) sees the same values.
  ASSERT_TRUE(a.Unregister());
  ASSERT_TRUE(b.Register(2));
  ASSERT_TRUE(WaitUntil([] { return Info(PM_INFO_CONNECTED) == 1; }));
  EXPECT_EQ(pmGetPublicVar("speed", &value), 1);
  EXPECT_EQ(value, -500000);

  const std::string long_name(PM_MAX_NAME + 1, 'n');
  const std::string long_value(PM_MAX_STR + 1, 'v');
  const struct {
    const char* what;
    int result;
  } bad[] = {
      {"null name", pmSetPublicVar(nullptr, 1)},
      {"empty name", pmSetPublicVar("", 1)},
      {"long name", pmSetPublicVar(long_name.c_str(), 1)},
      {"null value out", pmGetPublicVar("speed", nullptr)},
      {"null string", pmSetStr("port", nullptr)},
      {"long string", pmSetStr("port", long_value.c_str())},
      {"null buffer", pmGetStr("port", nullptr, 8)},
  };
  for (const auto& c : bad) EXPECT_EQ(c.result, 0) << c.what;
  EXPECT_EQ(pmGetStr("port", text, sizeof text), 5);  // unchanged by the refused set
}

// Registering twice, unregistering twice and unknown handles are covered by the C consumer test.
TEST_F(PelmoTest, refuses_bad_arguments) {
  TestWindow w;
  pm_window no_post{nullptr, nullptr};
  const std::vector<std::uint8_t> big(PM_MAX_BLOCK + 1);
  std::uint64_t v = 0;
  EXPECT_EQ(pmRegister(nullptr, 1, "x"), 0);
  EXPECT_EQ(pmRegister(&no_post, 1, "x"), 0);
  EXPECT_EQ(w.PostBlock(kMonitorPost, Record(1)), 0);  // not registered
  ASSERT_TRUE(w.Register(1));
  EXPECT_EQ(pmPostData(w.get(), kMonitorPost, nullptr, 16), 0);
  EXPECT_EQ(pmPostData(w.get(), kMonitorPost, big.data(), PM_MAX_BLOCK + 1), 0);
  EXPECT_EQ(pmPostData(w.get(), kMonitorPost, nullptr, 0), 1);  // an empty block is fine
  EXPECT_EQ(pmGetp(123456, nullptr), nullptr);
  EXPECT_EQ(pmGetInfo(999, &v), 0);
  EXPECT_EQ(pmGetInfo(PM_INFO_CONNECTED, nullptr), 0);
  EXPECT_TRUE(w.Unregister());
}

// On a hub without a host (pelmo_hub alone) a monitor's frames go to the other clients, where a
// client acting as the bridge picks them up. Two clients in processes of their own post to each
// other and to the monitor once all three are on the bus; each peer checks what it received
// and exits 0 only if all of it arrived.
TEST_F(PelmoTest, without_a_host_routes_monitor_posts_among_clients_in_separate_processes) {
  constexpr std::uint32_t kEach = 50;
  StartHub(4096, false);
  TestWindow monitor;
  ASSERT_TRUE(monitor.Register(1024));
  const std::string each = std::to_string(kEach);
  ChildProcess peer1({PELMO_TEST_PEER, "1", each, "3"}), peer2({PELMO_TEST_PEER, "2", each, "3"});
  std::set<std::uint32_t> seen;
  for (std::uint32_t i = 0; i < 2 * kEach; ++i) {
    std::uint32_t code = 0;
    const auto block = monitor.NextBlock(&code);
    if (!block) break;
    EXPECT_EQ(code, kMonitorPost);
    std::uint32_t seq = 0;
    std::memcpy(&seq, block->data(), sizeof seq);
    seen.insert(seq);
  }
  for (ChildProcess* p : {&peer1, &peer2}) EXPECT_EQ(p->Wait(), 0) << p->Out() << p->Err();
  std::set<std::uint32_t> expected;
  for (std::uint32_t i = 0; i < kEach; ++i) expected.insert({100000 + i, 200000 + i});
  EXPECT_EQ(seen, expected);
}

// A post function that unregisters its own window must neither deadlock nor be called again.
TEST_F(PelmoTest, unregister_from_inside_the_post_function_is_safe) {
  struct SelfRemoving {
    pm_window window;
    std::atomic<int> calls{0};
  } s;
  s.window.context = &s;
  s.window.post = [](void* context, std::uint32_t, std::uintptr_t, std::intptr_t) {
    auto* self = static_cast<SelfRemoving*>(context);
    ++self->calls;
    pmUnregister(&self->window);
  };
  StartHub();
  ASSERT_EQ(pmRegister(&s.window, 0x400, "self"), 1);
  ASSERT_TRUE(WaitClients(1));
  hub_->Deliver(kBridgeDelivery, Record(1));
  hub_->Deliver(kBridgeDelivery, Record(2));
  ASSERT_TRUE(WaitUntil([&] { return s.calls.load() >= 1; }));
  ASSERT_TRUE(WaitUntil([] { return Info(PM_INFO_REGISTERED) == 0; }));
  ASSERT_TRUE(WaitClients(0));
  EXPECT_EQ(s.calls.load(), 1);
  // The library comes back to life for the next window.
  TestWindow next;
  ASSERT_TRUE(next.Register(0x400));
  ASSERT_TRUE(WaitClients(1));
  hub_->Deliver(kBridgeDelivery, Record(3));
  EXPECT_TRUE(next.NextBlock());
}

// Why a window is off the bus, as the library tells it, while it keeps trying: no hub; a bus
// end of another user, which is not trusted (and whose forged delivery never reaches the
// window); a hub of this user at the same path, which it joins by itself; the hub gone again.
TEST_F(PelmoTest, offline_reason_follows_the_hub_at_the_path_and_the_window_keeps_trying) {
  if (const std::string why = testing::OtherUserUnavailable(); !why.empty()) GTEST_SKIP() << why;
  const std::string path = testing::OtherUsersBusDir(bus_.dir());
  ASSERT_FALSE(path.empty());
  ::setenv("PELMO_BUS", path.c_str(), 1);
  TestWindow monitor;
  ASSERT_TRUE(monitor.Register(1024, "zelk_test"));
  EXPECT_TRUE(WaitUntil([] { return Info(PM_INFO_OFFLINE_REASON) == PM_OFFLINE_NO_HUB; }));
  {
    testing::ForgingHub forger(path);
    ASSERT_TRUE(forger.ok());
    EXPECT_TRUE(
        WaitUntil([] { return Info(PM_INFO_OFFLINE_REASON) == PM_OFFLINE_HUB_OF_OTHER_USER; }));
    EXPECT_FALSE(monitor.Next(std::chrono::milliseconds(200)));
    EXPECT_EQ(Info(PM_INFO_OFFLINE_REASON), PM_OFFLINE_HUB_OF_OTHER_USER);
    EXPECT_EQ(Info(PM_INFO_CONNECTED), 0u);
  }
  // The folder is handed to this user, whose hub then serves the same path.
  const std::string dir = path.substr(0, path.rfind('/'));
  ASSERT_EQ(::chown(dir.c_str(), ::geteuid(), ::getegid()), 0);
  hub_ = std::make_unique<Hub>(HubOptions{path});
  std::string error;
  ASSERT_EQ(hub_->Start(&error), HubStart::kStarted) << error;
  EXPECT_TRUE(WaitUntil([] { return Info(PM_INFO_OFFLINE_REASON) == PM_OFFLINE_NONE; }));
  EXPECT_EQ(Info(PM_INFO_CONNECTED), 1u);
  hub_->Deliver(kBridgeDelivery, Record(1));
  const auto block = monitor.NextBlock();
  ASSERT_TRUE(block);
  EXPECT_EQ(*block, Record(1));
  hub_.reset();
  EXPECT_TRUE(WaitUntil([] { return Info(PM_INFO_OFFLINE_REASON) == PM_OFFLINE_NO_HUB; }));
}

// A window of another user: this user's 0700 bus folder refuses it for permissions; with the
// folder and the socket opened to it, the hub itself refuses it.
TEST_F(PelmoTest, offline_reason_of_another_users_window_tells_the_refusal) {
  if (const std::string why = testing::OtherUserUnavailable(); !why.empty()) GTEST_SKIP() << why;
  StartHub();
  ChildProcess peer(
      testing::AsOtherUser({PELMO_TEST_PEER, "reasons", std::to_string(PM_OFFLINE_NOT_PERMITTED),
                            std::to_string(PM_OFFLINE_REFUSED_BY_HUB)}));
  const std::string not_permitted = std::to_string(PM_OFFLINE_NOT_PERMITTED) + "\n";
  ASSERT_TRUE(WaitUntil([&] { return peer.Out() == not_permitted; })) << peer.Out() << peer.Err();
  ASSERT_EQ(::chmod(bus_.dir().c_str(), 0711), 0);
  ASSERT_EQ(::chmod(bus_.path().c_str(), 0777), 0);
  EXPECT_EQ(peer.Wait(), 0) << peer.Out() << peer.Err();
  EXPECT_EQ(peer.Out(), not_permitted + std::to_string(PM_OFFLINE_REFUSED_BY_HUB) + "\n");
  EXPECT_EQ(hub_->Stats().clients, 0u);
}

}  // namespace
}  // namespace pelmo
