#include "loop/event_loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <stdexcept>

namespace zelk {

EventLoop::EventLoop() {
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) throw std::runtime_error("eventfd failed");
  Watch(wake_fd_, POLLIN, [this](short) { RunPosted(); });
}

EventLoop::~EventLoop() { ::close(wake_fd_); }

void EventLoop::Watch(int fd, short events, FdCallback callback) {
  watches_[fd] = FdWatch{events, next_generation_++, std::move(callback)};
}

void EventLoop::SetEvents(int fd, short events) {
  const auto it = watches_.find(fd);
  if (it != watches_.end()) it->second.events = events;
}

void EventLoop::Unwatch(int fd) { watches_.erase(fd); }

std::uint64_t EventLoop::AddTimer(Clock::time_point when, Task task) {
  const std::uint64_t id = next_timer_++;
  timers_.emplace(id, std::move(task));
  timer_order_.emplace(when, id);
  return id;
}

void EventLoop::CancelTimer(std::uint64_t id) { timers_.erase(id); }

void EventLoop::Defer(Task task) { deferred_.push_back(std::move(task)); }

void EventLoop::RunDeferred() {
  // Tasks deferred by deferred tasks run in this round too.
  while (!deferred_.empty()) {
    running_deferred_.clear();
    running_deferred_.swap(deferred_);
    for (auto& task : running_deferred_) task();
  }
}

void EventLoop::Post(Task task) {
  {
    std::lock_guard lock(posted_mutex_);
    posted_.push_back(std::move(task));
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void EventLoop::RunPosted() {
  std::uint64_t count;
  [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &count, sizeof count);
  std::vector<Task> tasks;
  {
    std::lock_guard lock(posted_mutex_);
    tasks.swap(posted_);
  }
  for (auto& task : tasks) task();
}

void EventLoop::Run() {
  while (!quit_) RunOnce(std::chrono::milliseconds(-1));
}

void EventLoop::RunOnce(std::chrono::milliseconds max_wait) {
  // Drop cancelled timers from the front, then wait no longer than the first live one.
  while (!timer_order_.empty() && !timers_.contains(timer_order_.begin()->second)) {
    timer_order_.erase(timer_order_.begin());
  }
  // The wait is in nanoseconds (ppoll), so a timer fires within the kernel's timer slack of
  // its time rather than up to a millisecond late: replayed frames keep their recorded gaps.
  std::chrono::nanoseconds timeout = max_wait;
  if (!timer_order_.empty()) {
    const auto until =
        std::clamp<std::chrono::nanoseconds>(timer_order_.begin()->first - Clock::now(),
                                             std::chrono::nanoseconds(0), std::chrono::seconds(60));
    if (timeout.count() < 0 || until < timeout) timeout = until;
  }
  if (!deferred_.empty()) timeout = std::chrono::nanoseconds(0);  // deferred outside a round
  timespec wait{};
  wait.tv_sec = static_cast<time_t>(timeout.count() / 1'000'000'000);
  wait.tv_nsec = static_cast<long>(timeout.count() % 1'000'000'000);
  poll_fds_.clear();
  poll_generations_.clear();
  for (const auto& [fd, watch] : watches_) {
    if (watch.events == 0) continue;
    poll_fds_.push_back(pollfd{fd, watch.events, 0});
    poll_generations_.push_back(watch.generation);
  }
  const int ready =
      ::ppoll(poll_fds_.data(), poll_fds_.size(), timeout.count() < 0 ? nullptr : &wait, nullptr);
  if (ready < 0 && errno != EINTR) throw std::runtime_error("poll failed");
  for (std::size_t i = 0; ready > 0 && i < poll_fds_.size(); ++i) {
    if (poll_fds_[i].revents == 0) continue;
    // A callback may have removed or replaced this watch; skip it then.
    const auto it = watches_.find(poll_fds_[i].fd);
    if (it == watches_.end() || it->second.generation != poll_generations_[i]) continue;
    FdCallback callback = it->second.callback;
    callback(poll_fds_[i].revents);
  }
  const auto now = Clock::now();
  // Timers added by these callbacks wait for the next round, so a re-arming timer cannot spin.
  const std::uint64_t first_new_timer = next_timer_;
  while (!timer_order_.empty() && timer_order_.begin()->first <= now) {
    const std::uint64_t id = timer_order_.begin()->second;
    if (id >= first_new_timer) break;
    timer_order_.erase(timer_order_.begin());
    const auto it = timers_.find(id);
    if (it == timers_.end()) continue;
    Task task = std::move(it->second);
    timers_.erase(it);
    task();
  }
  RunDeferred();
}

}  // namespace zelk
