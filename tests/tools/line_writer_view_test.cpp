// The stdout view driven by the real receive log: one "\n" line per shown record, at once.
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

// Collects what the view writes, through a pipe as stdout would be.
class Pipe {
 public:
  Pipe() { EXPECT_EQ(pipe2(fds_, O_CLOEXEC | O_NONBLOCK), 0); }
  ~Pipe() {
    close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  int WriteEnd() const { return fds_[1]; }
  void CloseRead() {
    close(fds_[0]);
    fds_[0] = -1;
  }
  std::string Drain() {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds_[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    return out;
  }

 private:
  int fds_[2] = {-1, -1};
};

class line_writer_view : public ::testing::Test {
 protected:
  void SetUp() override {
    frame::PendingText().clear();
    frame::LastTimestamp() = 0;
  }
  void TearDown() override { frame::PendingText().clear(); }

  // Shows one record through a view that writes to the pipe.
  void show(tools::LineWriterView& view, std::uint32_t id, bool extended, std::uint16_t ts) {
    const std::uint8_t data[3] = {0x01, 0xA0, 0xFF};
    const frame::FrameRecord record = frame::MakeRecord(id, extended, data, 3, ts);
    const frame::ShowRecordContext ctx{rx_, line_no_, flush_due_, filter_, filter_id_, view};
    frame::ShowRecord(ctx, record.data());
  }

  Pipe pipe_;
  std::uint64_t rx_ = 0;
  std::uint64_t line_no_ = 0;
  bool flush_due_ = false;
  std::string filter_;
  std::uint32_t filter_id_ = 0;
};

TEST_F(line_writer_view, writes_each_shown_record_at_once_with_newline_endings) {
  tools::LineWriterView view(pipe_.WriteEnd(), flush_due_, 0);
  show(view, 0x123, false, 5);
  EXPECT_EQ(pipe_.Drain(), "0      5ms      123 - 01 A0 FF\n");
  show(view, 0x115599, true, 1005);
  EXPECT_EQ(pipe_.Drain(), "1   1000ms 00115599 - 01 A0 FF\n");
  EXPECT_EQ(view.LinesWritten(), 2u);
  EXPECT_TRUE(frame::PendingText().empty());
}

TEST_F(line_writer_view, trim_after_a_thousand_lines_adds_nothing_to_the_stream) {
  tools::LineWriterView view(pipe_.WriteEnd(), flush_due_, 0);
  std::string out;
  for (int i = 0; i < 1003; ++i) {
    show(view, 0x100, false, static_cast<std::uint16_t>(i));
    out += pipe_.Drain();
  }
  EXPECT_EQ(view.LinesWritten(), 1003u);
  const std::string tail = "1001      1ms      100 - 01 A0 FF\n1002      1ms      100 - 01 A0 FF\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1003);
  EXPECT_EQ(out.find('\r'), std::string::npos);
}

TEST_F(line_writer_view, stops_writing_at_the_line_limit) {
  tools::LineWriterView view(pipe_.WriteEnd(), flush_due_, 2);
  for (int i = 0; i < 4; ++i) show(view, 0x100, false, 0);
  EXPECT_TRUE(view.LimitReached());
  EXPECT_EQ(view.LinesWritten(), 2u);
  EXPECT_EQ(pipe_.Drain(), "0      0ms      100 - 01 A0 FF\n1      0ms      100 - 01 A0 FF\n");
}

TEST_F(line_writer_view, several_lines_in_one_replacement_are_written_one_by_one) {
  bool flush = false;
  tools::LineWriterView view(pipe_.WriteEnd(), flush, 2);
  view.ReplaceSel("a\r\nb\r\nc\r\n");
  view.ReplaceSel("");
  EXPECT_EQ(pipe_.Drain(), "a\nb\n");
  EXPECT_EQ(view.LinesWritten(), 2u);
}

TEST_F(line_writer_view, a_closed_reader_is_reported_not_fatal) {
  signal(SIGPIPE, SIG_IGN);
  tools::LineWriterView view(pipe_.WriteEnd(), flush_due_, 0);
  pipe_.CloseRead();
  show(view, 0x100, false, 0);
  show(view, 0x100, false, 0);
  EXPECT_EQ(view.WriteError(), EPIPE);
  EXPECT_EQ(view.LinesWritten(), 0u);
}

}  // namespace
