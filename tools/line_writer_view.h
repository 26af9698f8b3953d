// A log view that writes each flushed log line to a file descriptor as it is shown, so a
// headless tool prints exactly the lines the monitor's log would hold.
//
//   ShowRecord flushes "0      5ms      123 - 01 A0\r\n"  -> writes "0      5ms      123 - 01 A0\n"
//
// The tool keeps the receive log flushing on every record: each record's RX update re-arms the
// flush flag, so every shown record is written at once instead of waiting for a tick. The
// selection, scrolling and the trim's empty replacements have no meaning on a stream.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "frame/log_view.h"

namespace tools {

class LineWriterView : public frame::LogView {
 public:
  // max_lines 0: no limit; beyond the limit further lines are not written.
  LineWriterView(int fd, bool& flush_due, std::uint64_t max_lines);

  void SetSel(std::int32_t start, std::int32_t end) override;
  void ScrollCaret() override;
  void ReplaceSel(std::string_view text) override;
  void SetRxText(std::string_view text) override;

  // Between BeginBatch and EndBatch the lines are gathered and leave in one write at
  // EndBatch (or every 64 KiB): a tool showing a batch of blocks saves a system call per line.
  // Outside a batch each line is written as it is shown.
  void BeginBatch() { batching_ = true; }
  void EndBatch();

  // Lines written (in a batch: gathered to be written).
  std::uint64_t LinesWritten() const { return lines_written_; }
  bool LimitReached() const { return max_lines_ != 0 && lines_written_ >= max_lines_; }
  // errno of the first failed write, or 0; nothing is written after a failure.
  int WriteError() const { return write_error_; }

 private:
  void WriteAll(std::string_view bytes);
  void WriteBatch();

  int fd_;
  bool& flush_due_;
  std::uint64_t max_lines_;
  std::uint64_t lines_written_ = 0;
  int write_error_ = 0;
  bool batching_ = false;
  std::string batch_;
  std::uint64_t batch_lines_ = 0;
};

}  // namespace tools
