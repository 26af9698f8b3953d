#include "tools/notify_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include "pelmo.h"

namespace tools {

NotifyQueue::NotifyQueue(std::size_t bound)
    : bound_(bound == 0 ? 1 : bound), event_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

NotifyQueue::~NotifyQueue() {
  if (event_fd_ >= 0) close(event_fd_);
}

void NotifyQueue::Push(Notification notification) noexcept {
  {
    std::lock_guard lock(mutex_);
    if (waiting_.size() >= bound_) {
      waiting_.pop_front();
      ++dropped_;
    }
    waiting_.push_back(notification);
  }
  // Signalled after the push, so a waiter that wakes always finds it.
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(event_fd_, &one, sizeof one);
}

std::vector<Notification> NotifyQueue::TakeAll() {
  std::vector<Notification> taken;
  TakeAllInto(taken);
  return taken;
}

void NotifyQueue::TakeAllInto(std::vector<Notification>& into) {
  into.clear();
  std::uint64_t ignored = 0;
  [[maybe_unused]] const ssize_t n = read(event_fd_, &ignored, sizeof ignored);
  std::lock_guard lock(mutex_);
  into.assign(waiting_.begin(), waiting_.end());
  waiting_.clear();
}

std::uint64_t NotifyQueue::Dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void NotifyQueue::PostToQueue(void* context, std::uint32_t message, std::uintptr_t wparam,
                              std::intptr_t lparam) {
  if (message != PM_WM_BUS_NOTIFY || context == nullptr) return;
  static_cast<NotifyQueue*>(context)->Push({wparam, lparam});
}

}  // namespace tools
