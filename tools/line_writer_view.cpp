#include "tools/line_writer_view.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace tools {

LineWriterView::LineWriterView(int fd, bool& flush_due, std::uint64_t max_lines, int cancel_fd)
    : fd_(fd), flush_due_(flush_due), max_lines_(max_lines), cancel_fd_(cancel_fd) {}

void LineWriterView::SetSel(std::int32_t, std::int32_t) {}

void LineWriterView::ScrollCaret() {}

void LineWriterView::SetRxText(std::string_view) {
  // Called at the start of every record: the record, if shown, is then flushed at once.
  flush_due_ = true;
}

void LineWriterView::ReplaceSel(std::string_view text) {
  // Lines leave as "...\n", gathered until the next Flush.
  while (!text.empty() && !LimitReached() && write_error_ == 0 && !cancelled_) {
    const std::size_t end = text.find('\n');
    std::string_view piece = text.substr(0, end == std::string_view::npos ? text.size() : end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!piece.empty() && piece.back() == '\r') piece.remove_suffix(1);
    gathered_.append(piece);
    gathered_ += '\n';
    ++lines_taken_;
    ++lines_gathered_;
  }
  if (gathered_.size() >= kFlushBytes) Flush();
}

void LineWriterView::Flush() {
  if (gathered_.empty()) return;
  if (write_error_ == 0 && !cancelled_) {
    WriteAll(gathered_);
    if (write_error_ == 0 && !cancelled_) lines_written_ += lines_gathered_;
  }
  gathered_.clear();
  lines_gathered_ = 0;
}

void LineWriterView::WriteAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd fds[2] = {{fd_, POLLOUT, 0}, {cancel_fd_, POLLIN, 0}};
      if (::poll(fds, cancel_fd_ >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) {
        write_error_ = errno;
        return;
      }
      if (fds[1].revents != 0) {
        cancelled_ = true;
        return;
      }
      continue;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      write_error_ = errno;
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace tools
