// A pm_window for tests: its post function records every notification, thread-safely.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "pelmo.h"
#include "tests/hub/test_support.h"

namespace pelmo::testing {

struct Notification {
  std::uint32_t message;
  std::uint32_t code;
  std::uint32_t handle;
};

class TestWindow {
 public:
  TestWindow() {
    window_.post = &TestWindow::Post;
    window_.context = this;
  }
  ~TestWindow() { pmUnregister(&window_); }  // 0, harmless, when not registered

  bool Register(std::uint32_t value, const char* name = "test") {
    return pmRegister(&window_, value, name) == 1;
  }
  bool Unregister() { return pmUnregister(&window_) == 1; }
  int PostBlock(std::uint32_t code, const std::vector<std::uint8_t>& data) {
    return pmPostData(&window_, code, data.data(), static_cast<std::uint32_t>(data.size()));
  }
  pm_window* get() { return &window_; }

  // The next notification, waiting up to the deadline.
  std::optional<Notification> Next(std::chrono::milliseconds deadline = kDeadline) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, deadline, [&] { return !queue_.empty(); })) return std::nullopt;
    const Notification n = queue_.front();
    queue_.pop_front();
    return n;
  }
  std::size_t Waiting() {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }
  // Waits until n notifications are waiting to be taken.
  bool WaitCount(std::size_t n) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kDeadline, [&] { return queue_.size() >= n; });
  }
  // Fetches the next notified block's bytes.
  std::optional<std::vector<std::uint8_t>> NextBlock(std::uint32_t* code = nullptr) {
    const auto n = Next();
    if (!n) return std::nullopt;
    if (code) *code = n->code;
    std::uint32_t count = 0;
    const auto* p = static_cast<const std::uint8_t*>(pmGetp(n->handle, &count));
    if (!p) return std::nullopt;
    return std::vector<std::uint8_t>(p, p + count);
  }

 private:
  static void Post(void* context, std::uint32_t message, std::uintptr_t wparam,
                   std::intptr_t lparam) {
    auto* self = static_cast<TestWindow*>(context);
    {
      std::lock_guard lock(self->mutex_);
      self->queue_.push_back(
          {message, static_cast<std::uint32_t>(wparam), static_cast<std::uint32_t>(lparam)});
    }
    self->cv_.notify_all();
  }

  pm_window window_{};
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Notification> queue_;
};

inline std::uint64_t Info(std::uint32_t key) {
  std::uint64_t v = 0;
  pmGetInfo(key, &v);
  return v;
}

}  // namespace pelmo::testing
