#include <gtest/gtest.h>

#include <mutex>

#include "tests/tran/test_support.h"
#include "tran/can/can_source.h"
#include "tran/socketcand/socketcand_client_source.h"
#include "tran/socketcand/socketcand_protocol.h"

namespace tran {
namespace {

using namespace test;

// The client source against a scripted socketcand daemon played by the test thread.
class socketcand_client : public ::testing::Test {
 protected:
  void SetUp() override {
    SocketcandClientOptions options;
    options.host = "127.0.0.1";
    options.port = listener_.port();
    options.channel = "can7";
    options.min_backoff = 20ms;
    options.max_backoff = 80ms;
    source_ = MakeSocketcandClientSource(options);
    ASSERT_TRUE(loop_.RunOnLoop([this] {
      return source_->Start(
          loop_.loop(),
          [this](std::span<const frame::FrameRecord> records, std::span<const FrameTime> times) {
            std::lock_guard lock(mutex_);
            received_.insert(received_.end(), records.begin(), records.end());
            times_.insert(times_.end(), times.begin(), times.end());
          },
          nullptr);
    }));
  }
  void TearDown() override {
    loop_.RunOnLoop([this] { source_->Stop(); });
  }
  // Accepts the source's connection and walks it through the handshake.
  std::optional<TcpPeer> AcceptAndHandshake() {
    auto peer = listener_.Accept();
    if (!peer) return std::nullopt;
    EXPECT_TRUE(peer->Send("< hi >"));
    EXPECT_EQ(peer->ReadUntil(">"), "< open can7 >");
    EXPECT_TRUE(peer->Send("< ok >"));
    EXPECT_EQ(peer->ReadUntil(">"), "< rawmode >");
    EXPECT_TRUE(peer->Send("< ok >"));
    return peer;
  }
  std::vector<frame::FrameRecord> Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::size_t Transmit(std::vector<frame::FrameRecord> records) {
    return loop_.RunOnLoop([&] { return source_->Transmit(records); });
  }

  TcpListener listener_;
  LoopThread loop_;
  std::unique_ptr<CanSource> source_;
  std::mutex mutex_;
  std::vector<frame::FrameRecord> received_;
  std::vector<FrameTime> times_;
};

TEST_F(socketcand_client, receives_and_sends_frames_in_raw_mode) {
  auto peer = AcceptAndHandshake();
  ASSERT_TRUE(peer);
  // Split across writes and batched, with a malformed one in between.
  ASSERT_TRUE(peer->Send("< frame 123 1.000000 1122 >< frame 0000ABCD 2.0  >< frame 12"));
  ASSERT_TRUE(peer->Send("3 3.5 ZZ >< frame 7FF 4.0 0102030405060708 >"));
  ASSERT_TRUE(WaitFor([this] { return Received().size() == 3; }));
  EXPECT_EQ(Received(),
            (std::vector<frame::FrameRecord>{Rec(0x123, false, {0x11, 0x22}), Rec(0xABCD, true, {}),
                                             Rec(0x7FF, false, {1, 2, 3, 4, 5, 6, 7, 8})}));
  EXPECT_EQ(loop_.RunOnLoop([this] { return source_->Counters().rx_malformed; }), 1u);

  // Transmission is only possible once the link is up; poll until the source is streaming.
  ASSERT_TRUE(WaitFor([this] { return Transmit({Rec(0x5, true, {})}) == 1; }));
  EXPECT_EQ(peer->ReadUntil(" >"), "< send 00000005 0 >");
  EXPECT_EQ(Transmit({Rec(0x123, false, {0x11, 0x22})}), 1u);
  EXPECT_EQ(peer->ReadUntil(" >"), "< send 123 2 11 22 >");
  EXPECT_EQ(loop_.RunOnLoop([this] { return source_->LogName(); }), "can7");
}

// Frames read together keep the remote's gaps, placed on the local clock no later than their
// arrival; later frames never go back in time, even when the remote's clock does.
TEST_F(socketcand_client, keeps_the_remotes_gaps_on_the_local_clock) {
  auto peer = AcceptAndHandshake();
  ASSERT_TRUE(peer);
  const FrameTime before = FrameTimeNow();
  ASSERT_TRUE(
      peer->Send("< frame 001 100.000000 01 >< frame 002 100.001234 02 >"
                 "< frame 003 100.250000 03 >"));
  ASSERT_TRUE(WaitFor([this] { return Received().size() == 3; }));
  ASSERT_TRUE(peer->Send("< frame 004 99.000000 04 >"));  // the remote's clock stepped back
  ASSERT_TRUE(WaitFor([this] { return Received().size() == 4; }));
  std::lock_guard lock(mutex_);
  EXPECT_EQ(times_[1] - times_[0], 1234);
  EXPECT_EQ(times_[2] - times_[1], 248766);
  EXPECT_GE(times_[0], before - 250000);
  EXPECT_LE(times_[2], FrameTimeNow());
  EXPECT_GE(times_[3], times_[2]);
}

TEST_F(socketcand_client, reconnects_after_the_link_drops_or_is_refused) {
  {
    auto first = AcceptAndHandshake();
    ASSERT_TRUE(first);
    ASSERT_TRUE(first->Send("< frame 001 1.0 01 >"));
    ASSERT_TRUE(WaitFor([this] { return Received().size() == 1; }));
    first->Abort();
  }
  // While the link is down, frames to send are dropped and counted.
  ASSERT_TRUE(WaitFor([this] { return Transmit({Rec(0x9, false, {})}) == 0; }));
  {
    auto refused = listener_.Accept();
    ASSERT_TRUE(refused);
    ASSERT_TRUE(refused->Send("< hi >"));
    EXPECT_EQ(refused->ReadUntil(">"), "< open can7 >");
    ASSERT_TRUE(refused->Send("< error no such channel >"));
    EXPECT_TRUE(refused->WaitClosed());
  }
  auto again = AcceptAndHandshake();
  ASSERT_TRUE(again);
  ASSERT_TRUE(again->Send("< frame 002 2.0 02 >"));
  ASSERT_TRUE(WaitFor([this] { return Received().size() == 2; }));
  EXPECT_EQ(Received()[1], Rec(0x2, false, {0x02}));
  const SourceCounters counters = loop_.RunOnLoop([this] { return source_->Counters(); });
  EXPECT_EQ(counters.reconnects, 1u);
  EXPECT_GE(counters.tx_dropped, 1u);
}

TEST_F(socketcand_client, drops_a_server_that_sends_an_endless_line) {
  auto peer = AcceptAndHandshake();
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->Send("< frame 001 1.0 " + std::string(2 * kMaxPendingLine, '0')));
  EXPECT_TRUE(peer->WaitClosed());
  // And it comes back.
  EXPECT_TRUE(AcceptAndHandshake());
}

}  // namespace
}  // namespace tran
