// A poll(2) event loop: file-descriptor watches, one-shot timers, tasks deferred to the end of
// a round, and cross-thread tasks.
//
// A round: wait for events or the first timer, run the callbacks of the ready descriptors,
// then the timers due, then the deferred tasks. A watch asking for no events is left out of
// the wait, so a hung-up socket that is not being read does not wake the loop.
//
// Threads: Run() is called on one thread (the loop thread); every callback runs there, and
// Watch/Unwatch/SetEvents/AddTimer/CancelTimer/Defer/Quit may only be called from it. Post()
// may be called from any thread; it wakes the loop through an eventfd.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace zelk {

class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using FdCallback = std::function<void(short revents)>;
  using Task = std::function<void()>;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Watches fd for `events` (POLLIN, POLLOUT); replaces an earlier watch of the same fd.
  void Watch(int fd, short events, FdCallback callback);
  void SetEvents(int fd, short events);
  void Unwatch(int fd);

  std::uint64_t AddTimer(Clock::time_point when, Task task);
  void CancelTimer(std::uint64_t id);

  // Runs `task` at the end of this round (or of the next, when called outside one), after
  // the callbacks and timers: work that gathers what several callbacks did, done once.
  void Defer(Task task);

  // Runs `task` on the loop thread soon. Thread-safe.
  void Post(Task task);

  // Runs until Quit(); returns at once if Quit() was already called.
  void Run();
  // Waits at most `max_wait` for events and handles them; for tests that step the loop.
  void RunOnce(std::chrono::milliseconds max_wait);
  void Quit() { quit_ = true; }
  bool QuitRequested() const { return quit_; }

 private:
  struct FdWatch {
    short events;
    std::uint64_t generation;
    FdCallback callback;
  };
  void RunPosted();
  void RunDeferred();

  std::map<int, FdWatch> watches_;
  std::uint64_t next_generation_ = 1;
  std::multimap<Clock::time_point, std::uint64_t> timer_order_;
  std::map<std::uint64_t, Task> timers_;
  std::uint64_t next_timer_ = 1;
  std::vector<Task> deferred_;
  std::vector<Task> running_deferred_;
  bool quit_ = false;
  int wake_fd_ = -1;
  std::mutex posted_mutex_;
  std::vector<Task> posted_;  // guarded by posted_mutex_
  std::vector<pollfd> poll_fds_;
  std::vector<std::uint64_t> poll_generations_;
};

}  // namespace zelk
