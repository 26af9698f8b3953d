#include "tran/socketcand/socketcand_server.h"

#include <gtest/gtest.h>

#include <mutex>

#include "tests/tran/test_support.h"

namespace tran {
namespace {

using namespace test;

class socketcand_server : public ::testing::Test {
 protected:
  void StartServer(SocketcandServerOptions options = {}) {
    options.rawmode_settle = 10ms;
    server_.emplace(loop_.loop(), options,
                    [this](std::span<const frame::FrameRecord> records, std::uint64_t client) {
                      {
                        std::lock_guard lock(mutex_);
                        received_.insert(received_.end(), records.begin(), records.end());
                      }
                      // Like the bridge: put them on the bus for everyone but the sender.
                      server_->Broadcast(records, timeval{1, 2}, client);
                    });
    ASSERT_TRUE(loop_.RunOnLoop([this] { return server_->Start(nullptr); }));
  }
  void TearDown() override {
    if (server_) loop_.RunOnLoop([this] { server_->Stop(); });
  }
  TcpPeer Join(bool rawmode) {
    TcpPeer peer = TcpPeer::Connect(server_->Port());
    EXPECT_EQ(peer.RecvOnce(), "< hi >");
    EXPECT_TRUE(peer.Send("< open vcan0 >"));
    EXPECT_EQ(peer.RecvOnce(), "< ok >");
    if (rawmode) {
      EXPECT_TRUE(peer.Send("< rawmode >"));
      EXPECT_EQ(peer.RecvOnce(), "< ok >");
    }
    return peer;
  }
  std::vector<frame::FrameRecord> Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::size_t ClientCount() {
    return loop_.RunOnLoop([this] { return server_->ClientCount(); });
  }
  void Broadcast(std::vector<frame::FrameRecord> records) {
    loop_.RunOnLoop([&] { server_->Broadcast(records, timeval{7, 8}, 0); });
  }

  LoopThread loop_;
  std::optional<SocketcandServer> server_;
  std::mutex mutex_;
  std::vector<frame::FrameRecord> received_;
};

TEST_F(socketcand_server, answers_each_command_in_its_own_segment) {
  StartServer();
  TcpPeer peer = Join(false);
  const std::pair<const char*, const char*> exchanges[] = {
      {"< echo >", "< echo >"},
      {"< bcmmode >", "< error unknown command >"},
      {"< send 123 3 11 22 >", "< error length does not match the data >"},
      {"< send 123 9 >", "< error bad length >"},
      {"< send XYZ 0 >", "< error bad id >"},
      {"junk without brackets< echo >", "< echo >"},
      {"< rawmode >", "< ok >"},
  };
  for (const auto& [command, reply] : exchanges) {
    ASSERT_TRUE(peer.Send(command));
    EXPECT_EQ(peer.RecvOnce(), reply) << command;
  }
  EXPECT_TRUE(Received().empty());
}

TEST_F(socketcand_server, joins_split_and_batched_commands) {
  StartServer();
  TcpPeer peer = Join(true);
  ASSERT_TRUE(peer.Send("< send 12"));
  ASSERT_TRUE(WaitFor([this] { return ClientCount() == 1; }));
  ASSERT_TRUE(peer.Send("3 1 aa >< send 1ABCDEF0 0 >  < send 5 2 1 2 >< send 00000005 0 >"));
  ASSERT_TRUE(WaitFor([this] { return Received().size() == 4; }));
  EXPECT_EQ(Received(),
            (std::vector<frame::FrameRecord>{Rec(0x123, false, {0xAA}), Rec(0x1ABCDEF0, true, {}),
                                             Rec(0x5, false, {1, 2}), Rec(0x5, true, {})}));
}

TEST_F(socketcand_server, streams_frames_to_raw_clients_except_the_sender) {
  StartServer();
  TcpPeer sender = Join(true);
  TcpPeer listener = Join(true);
  TcpPeer not_raw = Join(false);
  ASSERT_TRUE(sender.Send("< send 1FFFFFFF 1 7 >"));
  EXPECT_EQ(listener.ReadUntil(" >"), " < frame 1FFFFFFF 1.000002 07 >");
  Broadcast({Rec(0x7FF, false, {}), Rec(0x1, false, {0xAB})});
  const std::string both = sender.ReadUntil("AB >");
  EXPECT_EQ(both, " < frame 7FF 7.000008  > < frame 001 7.000008 AB >");
  // The sender saw only the broadcast, and the client outside raw mode saw nothing.
  EXPECT_EQ(not_raw.RecvOnce(100ms), std::nullopt);
}

TEST_F(socketcand_server, closes_a_client_with_an_endless_line_only) {
  StartServer();
  TcpPeer good = Join(true);
  TcpPeer bad = Join(true);
  ASSERT_TRUE(bad.Send("< send " + std::string(kMaxPendingLine, '1')));
  EXPECT_TRUE(bad.WaitClosed());
  ASSERT_TRUE(good.Send("< echo >"));
  EXPECT_EQ(good.ReadUntil("< echo >"), "< echo >");
  EXPECT_EQ(ClientCount(), 1u);
}

TEST_F(socketcand_server, survives_abrupt_closes) {
  StartServer();
  TcpPeer good = Join(true);
  for (int i = 0; i < 5; ++i) {
    TcpPeer gone = Join(true);
    ASSERT_TRUE(gone.Send("< send 12"));
    gone.Abort();
  }
  ASSERT_TRUE(WaitFor([this] { return ClientCount() == 1; }));
  Broadcast({Rec(0x42, false, {1})});
  EXPECT_EQ(good.ReadUntil(" >"), " < frame 042 7.000008 01 >");
}

TEST_F(socketcand_server, serves_many_clients_and_refuses_beyond_the_limit) {
  SocketcandServerOptions options;
  options.max_clients = 20;
  StartServer(options);
  std::vector<TcpPeer> peers;
  for (int i = 0; i < 20; ++i) peers.push_back(Join(true));
  TcpPeer extra = TcpPeer::Connect(server_->Port());
  EXPECT_EQ(extra.RecvOnce(), "< error too many clients >");
  EXPECT_TRUE(extra.WaitClosed());
  Broadcast({Rec(0x100, false, {0x10, 0x20})});
  for (auto& peer : peers) EXPECT_EQ(peer.ReadUntil(" >"), " < frame 100 7.000008 1020 >");
  EXPECT_EQ(loop_.RunOnLoop([this] { return server_->Counters().clients_refused; }), 1u);
}

TEST_F(socketcand_server, drops_frames_for_a_client_that_does_not_read) {
  SocketcandServerOptions options;
  options.max_output_bytes = 4096;
  StartServer(options);
  TcpPeer stalled = Join(true);
  TcpPeer reader = Join(true);
  std::vector<frame::FrameRecord> batch(256, Rec(0x123, false, {1, 2, 3, 4, 5, 6, 7, 8}));
  // Enough to fill the kernel's buffers for the stalled client many times over.
  std::uint64_t dropped = 0;
  for (int i = 0; i < 2000 && dropped == 0; ++i) {
    Broadcast(batch);
    reader.RecvOnce(0ms);  // keep the reader's side drained a little
    dropped = loop_.RunOnLoop([this] { return server_->Counters().frames_dropped; });
  }
  EXPECT_GT(dropped, 0u);
  ASSERT_TRUE(reader.Send("< echo >"));
  EXPECT_FALSE(reader.ReadUntil("< echo >").empty());
  EXPECT_EQ(ClientCount(), 2u);
}

std::optional<uid_t> OtherUser(int, std::string*) { return ::geteuid() + 1; }
std::optional<uid_t> UnknownUser(int, std::string* error) {
  *error = "no sock_diag";
  return std::nullopt;
}

// A client whose socket is not our user's is closed before "< hi >" and nothing it sent is
// taken, unless any_user is set or the address is not loopback (no user can be told there).
TEST_F(socketcand_server, serves_on_loopback_only_the_clients_of_our_user) {
  struct Case {
    const char* address;
    std::optional<uid_t> (*owner)(int, std::string*);
    bool any_user;
    bool served;
  };
  const Case cases[] = {
      {"127.0.0.1", TcpPeerOwner, false, true}, {"127.0.0.1", OtherUser, false, false},
      {"127.0.0.1", UnknownUser, false, false}, {"127.0.0.1", OtherUser, true, true},
      {"0.0.0.0", OtherUser, false, true},
  };
  std::vector<frame::FrameRecord> taken;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    if (server_) loop_.RunOnLoop([this] { server_.reset(); });
    SocketcandServerOptions options;
    options.address = c.address;
    options.peer_owner = c.owner;
    options.any_user = c.any_user;
    StartServer(options);
    TcpPeer peer = TcpPeer::Connect(server_->Port());
    const std::string send = "< send " + std::to_string(100 + i) + " 0 >";
    ASSERT_TRUE(peer.Send("< open vcan0 >" + send));
    if (c.served) {
      EXPECT_EQ(peer.ReadUntil("< ok >"), "< hi >< ok >");
      taken.push_back(Rec(0x100 + i, false, {}));
      EXPECT_TRUE(WaitFor([&] { return Received() == taken; }));
    } else {
      EXPECT_TRUE(peer.WaitClosed());
    }
    const auto counters = loop_.RunOnLoop([this] { return server_->Counters(); });
    EXPECT_EQ(counters.clients_of_other_users, c.served ? 0u : 1u);
  }
  EXPECT_EQ(Received(), taken);
}

}  // namespace
}  // namespace tran
