// The stdout view driven by the real receive log: one "\n" line per shown record, written at
// each flush.
#include "tools/line_writer_view.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>

#include "frame/frame_record.h"
#include "frame/receive_log.h"

namespace {

class line_writer_view : public ::testing::Test {
 protected:
  // The view writes into a pipe, as into stdout.
  void SetUp() override {
    ASSERT_EQ(pipe2(fds_, O_CLOEXEC | O_NONBLOCK), 0);
    frame::PendingText().clear();
    frame::LastTimestamp() = 0;
  }
  void TearDown() override {
    if (fds_[0] >= 0) close(fds_[0]);
    close(fds_[1]);
    frame::PendingText().clear();
  }
  std::string drain() {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds_[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    return out;
  }

  // Shows one record through a view that writes to the pipe.
  void show(tools::LineWriterView& view, std::uint16_t ts) {
    const std::uint8_t data[3] = {0x01, 0xA0, 0xFF};
    const frame::FrameRecord record = frame::MakeRecord(0x100, false, data, 3, ts);
    frame::ShowRecord(state_.Context(view), record.data());
    view.Flush();
  }

  int fds_[2] = {-1, -1};
  frame::ReceiveLogState state_;
};

// The receive log's trim after a thousand lines adds nothing to the stream, and "\r\n" becomes
// "\n". (Lines written one by one as shown are checked through zelk_dump in tools_bus_test.)
TEST_F(line_writer_view, trim_after_a_thousand_lines_adds_nothing_to_the_stream) {
  tools::LineWriterView view(fds_[1], state_.flush_due, 0);
  std::string out;
  for (int i = 0; i < 1003; ++i) {
    show(view, static_cast<std::uint16_t>(i));
    out += drain();
  }
  EXPECT_EQ(view.LinesWritten(), 1003u);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1003);
  EXPECT_EQ(out.find('\r'), std::string::npos);
  const std::string tail = "1001      1ms      100 - 01 A0 FF\n1002      1ms      100 - 01 A0 FF\n";
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

TEST_F(line_writer_view, stops_writing_at_the_line_limit_even_within_one_replacement) {
  tools::LineWriterView view(fds_[1], state_.flush_due, 3);
  show(view, 0);
  view.ReplaceSel("a\r\nb\r\nc\r\n");
  view.ReplaceSel("");
  EXPECT_TRUE(view.LimitReached());
  EXPECT_EQ(view.LinesWritten(), 1u);  // the last two wait for the flush
  show(view, 0);
  EXPECT_TRUE(view.LimitReached());
  EXPECT_EQ(view.LinesWritten(), 3u);
  EXPECT_EQ(drain(), "0      0ms      100 - 01 A0 FF\na\nb\n");
}

TEST_F(line_writer_view, a_closed_reader_is_reported_not_fatal) {
  signal(SIGPIPE, SIG_IGN);
  tools::LineWriterView view(fds_[1], state_.flush_due, 0);
  close(fds_[0]);
  fds_[0] = -1;
  show(view, 0);
  show(view, 0);
  EXPECT_EQ(view.WriteError(), EPIPE);
  EXPECT_EQ(view.LinesWritten(), 0u);
}

}  // namespace
