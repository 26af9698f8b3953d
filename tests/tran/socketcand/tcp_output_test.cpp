#include "tran/socketcand/tcp_output.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <string>
#include <vector>

namespace tran {
namespace {

// A scripted send(): each call takes the next result (-errno or a byte cap).
struct FakeSocket {
  std::deque<long> script;
  std::vector<std::string> calls;  // bytes accepted per call
};
FakeSocket* fake = nullptr;

ssize_t FakeSend(int, const void* data, std::size_t size, int) {
  long result = static_cast<long>(size);
  if (!fake->script.empty()) {
    result = fake->script.front();
    fake->script.pop_front();
  }
  if (result < 0) {
    errno = static_cast<int>(-result);
    return -1;
  }
  const std::size_t n = std::min(size, static_cast<std::size_t>(result));
  fake->calls.emplace_back(static_cast<const char*>(data), n);
  return static_cast<ssize_t>(n);
}

class tcp_output : public ::testing::Test {
 protected:
  void SetUp() override { fake = &socket_; }
  void TearDown() override { fake = nullptr; }
  FakeSocket socket_;
};

TEST_F(tcp_output, sends_each_reply_on_its_own_and_packs_frames) {
  TcpOutput out(1024, FakeSend);
  ASSERT_TRUE(out.AddReply("< hi >"));
  ASSERT_TRUE(out.AddReply("< ok >"));
  ASSERT_TRUE(out.AddFrames("<f1>"));
  ASSERT_TRUE(out.AddFrames("<f2>"));
  EXPECT_EQ(out.FlushTo(3, true), TcpOutput::Flush::kDone);
  EXPECT_EQ(socket_.calls, (std::vector<std::string>{"< hi >", "< ok >", "<f1><f2>"}));
  EXPECT_TRUE(out.Empty());
}

TEST_F(tcp_output, resumes_after_eintr_short_writes_and_eagain) {
  TcpOutput out(1024, FakeSend);
  ASSERT_TRUE(out.AddReply("< ok >"));
  ASSERT_TRUE(out.AddFrames("0123456789"));
  socket_.script = {-EINTR, 3, -EAGAIN};
  EXPECT_EQ(out.FlushTo(3, true), TcpOutput::Flush::kBlocked);
  EXPECT_EQ(out.Bytes(), 13u);
  // Frames added while blocked join the pending frame text.
  ASSERT_TRUE(out.AddFrames("AB"));
  socket_.script = {100, 2};
  EXPECT_EQ(out.FlushTo(3, true), TcpOutput::Flush::kDone);
  EXPECT_EQ(socket_.calls, (std::vector<std::string>{"< o", "k >", "01", "23456789AB"}));
}

TEST_F(tcp_output, holds_frames_but_not_replies_while_frames_wait) {
  TcpOutput out(1024, FakeSend);
  ASSERT_TRUE(out.AddReply("< ok >"));
  ASSERT_TRUE(out.AddFrames("<f>"));
  ASSERT_TRUE(out.AddReply("< echo >"));
  EXPECT_EQ(out.FlushTo(3, false), TcpOutput::Flush::kBlocked);
  EXPECT_EQ(socket_.calls, (std::vector<std::string>{"< ok >"}));
  EXPECT_EQ(out.FlushTo(3, true), TcpOutput::Flush::kDone);
  EXPECT_EQ(socket_.calls, (std::vector<std::string>{"< ok >", "<f>", "< echo >"}));
}

TEST_F(tcp_output, bounds_frames_and_reports_errors) {
  TcpOutput out(8, FakeSend);
  EXPECT_TRUE(out.AddFrames("12345"));
  EXPECT_FALSE(out.AddFrames("6789"));  // would pass the bound: refused whole
  // Replies may pass the bound by an allowance, then the peer counts as not reading.
  std::size_t replies = 0;
  while (out.AddReply("< echo >") && replies < 10000) ++replies;
  EXPECT_EQ(replies, (8 + TcpOutput::kReplyAllowance - 5) / 8);
  socket_.script = {-EPIPE};
  EXPECT_EQ(out.FlushTo(3, true), TcpOutput::Flush::kError);
}

}  // namespace
}  // namespace tran
