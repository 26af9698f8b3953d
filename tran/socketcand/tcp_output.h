// Bytes waiting to go out on a non-blocking stream socket, with a byte bound.
//
// Replies are kept as chunks of their own so that each goes out in a send() call of its own
// (socketcand clients read a reply with one recv and compare it exactly); frames are packed
// together. Not thread-safe: owned by the event loop thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace tran {

class TcpOutput {
 public:
  // The send(2) seam, so tests can inject EINTR, short writes and errors.
  using SendFn = ssize_t (*)(int fd, const void* data, std::size_t size, int flags);

  // Replies may exceed max_bytes by this much, so a client slow at reading frames still gets
  // the answers to its commands.
  static constexpr std::size_t kReplyAllowance = 4096;

  explicit TcpOutput(std::size_t max_bytes, SendFn send_fn = nullptr);

  // Queues a reply. False when the queue holds max_bytes + kReplyAllowance (a peer that
  // sends commands but reads nothing).
  bool AddReply(std::string_view text);
  // Queues frame text. False (nothing queued) when it would pass max_bytes.
  bool AddFrames(std::string_view text);

  enum class Flush { kDone, kBlocked, kError };
  // Sends queued chunks in order. Frame chunks wait while frames_allowed is false.
  Flush FlushTo(int fd, bool frames_allowed);

  bool Empty() const { return chunks_.empty(); }
  std::size_t Bytes() const { return bytes_; }
  void Clear();

 private:
  struct Chunk {
    std::string text;
    bool reply;
  };
  std::size_t max_bytes_;
  SendFn send_;
  std::deque<Chunk> chunks_;
  std::size_t bytes_ = 0;
  std::size_t front_offset_ = 0;  // bytes of the front chunk already sent
};

}  // namespace tran
