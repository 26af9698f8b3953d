// A log view that writes the flushed log lines to a file descriptor, so a headless tool prints
// exactly the lines the monitor's log would hold.
//
//   ShowRecord flushes "0      5ms      123 - 01 A0\r\n"  -> writes "0      5ms      123 - 01 A0\n"
//
// The tool keeps the receive log flushing on every record: each record's RX update re-arms the
// flush flag, so every shown record reaches the view at once instead of waiting for a tick. The
// view gathers the lines and writes them with one write per Flush (the tool flushes after each
// round of bus notifications), or sooner once kFlushBytes have gathered. The selection,
// scrolling and the trim's empty replacements have no meaning on a stream.
//
// A non-blocking descriptor that is full is waited for together with a cancel descriptor (the
// tool's signalfd): once that is readable the view gives up, so a reader that has stopped
// reading cannot keep the tool from ending.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "frame/log_view.h"

namespace tools {

class LineWriterView : public frame::LogView {
 public:
  // max_lines 0: no limit; beyond the limit further lines are not written.
  // cancel_fd: -1, or a descriptor whose readability ends a wait for room in fd.
  LineWriterView(int fd, bool& flush_due, std::uint64_t max_lines, int cancel_fd = -1);

  void SetSel(std::int32_t start, std::int32_t end) override;
  void ScrollCaret() override;
  void ReplaceSel(std::string_view text) override;
  void SetRxText(std::string_view text) override;

  // Writes the gathered lines.
  void Flush();

  static constexpr std::size_t kFlushBytes = 64 * 1024;

  // Lines written to the descriptor so far.
  std::uint64_t LinesWritten() const { return lines_written_; }
  // True once max_lines lines have been taken (some may wait for Flush).
  bool LimitReached() const { return max_lines_ != 0 && lines_taken_ >= max_lines_; }
  // errno of the first failed write, or 0; nothing is written after a failure.
  int WriteError() const { return write_error_; }
  // True once a wait for room was cancelled; nothing is written after it.
  bool Cancelled() const { return cancelled_; }

 private:
  void WriteAll(std::string_view bytes);

  int fd_;
  bool& flush_due_;
  std::uint64_t max_lines_;
  std::uint64_t lines_taken_ = 0;
  std::uint64_t lines_written_ = 0;
  std::uint64_t lines_gathered_ = 0;
  std::string gathered_;  // keeps its capacity between flushes
  int write_error_ = 0;
  int cancel_fd_;
  bool cancelled_ = false;
};

}  // namespace tools
