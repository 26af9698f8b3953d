// Hands bus notifications from the bus library's I/O thread to the tool's main thread.
//
// The library calls Push from its I/O thread (it must never block there); the main thread waits
// on fd() and takes the notifications with TakeAll, then fetches and shows their blocks itself,
// since a fetched block stays valid only until the next fetch.
//
// Ownership: the queue belongs to the main thread, which must keep it alive until the window is
// unregistered (after that the library calls Push no more).
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace tools {

struct Notification {
  std::uintptr_t code;
  std::intptr_t handle;
};

class NotifyQueue {
 public:
  // At most `bound` notifications wait; beyond that the oldest are dropped and counted
  // (their blocks are the oldest in the library's backlog too).
  explicit NotifyQueue(std::size_t bound);
  ~NotifyQueue();
  NotifyQueue(const NotifyQueue&) = delete;
  NotifyQueue& operator=(const NotifyQueue&) = delete;

  bool Ok() const { return event_fd_ >= 0; }
  // Readable while notifications wait.
  int fd() const { return event_fd_; }

  void Push(Notification notification) noexcept;
  std::vector<Notification> TakeAll();
  // The same into `into` (cleared first), which keeps its capacity from call to call.
  void TakeAllInto(std::vector<Notification>& into);
  std::uint64_t Dropped() const;

  // A pm_post_fn whose context is a NotifyQueue; passes on bus notifications only.
  static void PostToQueue(void* context, std::uint32_t message, std::uintptr_t wparam,
                          std::intptr_t lparam);

 private:
  const std::size_t bound_;
  int event_fd_;
  mutable std::mutex mutex_;
  std::deque<Notification> waiting_;
  std::uint64_t dropped_ = 0;
};

}  // namespace tools
