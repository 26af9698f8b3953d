#include "tran/socketcand/tcp_output.h"

#include <sys/socket.h>

#include <cerrno>

namespace tran {

namespace {
// Frame text is packed into chunks of about this size, one send() each.
constexpr std::size_t kFrameChunkBytes = 16 * 1024;

ssize_t SocketSend(int fd, const void* data, std::size_t size, int flags) {
  return ::send(fd, data, size, flags);
}
}  // namespace

TcpOutput::TcpOutput(std::size_t max_bytes, SendFn send_fn)
    : max_bytes_(max_bytes), send_(send_fn ? send_fn : SocketSend) {}

bool TcpOutput::AddReply(std::string_view text) {
  if (bytes_ + text.size() > max_bytes_ + kReplyAllowance) return false;
  chunks_.push_back(Chunk{std::string(text), true});
  bytes_ += text.size();
  return true;
}

bool TcpOutput::AddFrames(std::string_view text) {
  if (bytes_ + text.size() > max_bytes_) return false;
  // Append to the last frame chunk unless it is full (its sent prefix stays counted by offset).
  if (!chunks_.empty() && !chunks_.back().reply && chunks_.back().text.size() < kFrameChunkBytes) {
    chunks_.back().text.append(text);
  } else {
    chunks_.push_back(Chunk{std::string(text), false});
  }
  bytes_ += text.size();
  return true;
}

TcpOutput::Flush TcpOutput::FlushTo(int fd, bool frames_allowed) {
  while (!chunks_.empty()) {
    Chunk& front = chunks_.front();
    if (!front.reply && !frames_allowed) return Flush::kBlocked;
    const ssize_t n = send_(fd, front.text.data() + front_offset_,
                            front.text.size() - front_offset_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Flush::kBlocked;
      return Flush::kError;
    }
    if (n == 0) return Flush::kBlocked;
    front_offset_ += static_cast<std::size_t>(n);
    bytes_ -= static_cast<std::size_t>(n);
    if (front_offset_ == front.text.size()) {
      chunks_.pop_front();
      front_offset_ = 0;
    }
  }
  return Flush::kDone;
}

void TcpOutput::Clear() {
  chunks_.clear();
  bytes_ = 0;
  front_offset_ = 0;
}

}  // namespace tran
