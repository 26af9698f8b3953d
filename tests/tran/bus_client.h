// A bus client for the companion's tests: one libpelmo window whose notifications are queued
// and fetched on the test thread.
#pragma once

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "frame/frame_record.h"
#include "pelmo.h"
#include "test_support.h"

namespace tran::test {

class BusClient {
 public:
  explicit BusClient(const char* name = "tran_test") {
    window_.post = &BusClient::OnPost;
    window_.context = this;
    registered_ = pmRegister(&window_, PM_CODE_ROUTE, name) == 1;
  }
  ~BusClient() {
    if (registered_) pmUnregister(&window_);
  }
  bool registered() const { return registered_; }
  bool Post(const frame::FrameRecord& record) {
    return pmPostData(&window_, 0x20000412, record.data(), 16) == 1;
  }
  // Fetches every block announced so far with a frame-delivery code (bit 28, kind 0x12);
  // returns their records in order.
  std::vector<frame::FrameRecord> Fetch() {
    std::deque<std::pair<std::uint32_t, std::uint32_t>> pending;
    {
      std::lock_guard lock(mutex_);
      pending.swap(pending_);
    }
    std::vector<frame::FrameRecord> out;
    for (const auto& [code, handle] : pending) {
      if ((code & 0x100004FF) != 0x10000412) continue;
      std::uint32_t size = 0;
      const auto* block = static_cast<const std::uint8_t*>(pmGetp(handle, &size));
      for (std::uint32_t at = 0; block && at + 16 <= size; at += 16) {
        frame::FrameRecord record;
        std::memcpy(record.data(), block + at, 16);
        out.push_back(record);
      }
    }
    return out;
  }
  // Collects records until `count` have arrived or the deadline passes.
  std::vector<frame::FrameRecord> Collect(std::size_t count,
                                          std::chrono::milliseconds limit = kDeadline) {
    std::vector<frame::FrameRecord> all;
    WaitFor(
        [&] {
          auto more = Fetch();
          all.insert(all.end(), more.begin(), more.end());
          return all.size() >= count;
        },
        limit);
    return all;
  }

 private:
  static void OnPost(void* context, std::uint32_t message, std::uintptr_t wparam,
                     std::intptr_t lparam) {
    if (message != PM_WM_BUS_NOTIFY) return;
    auto* self = static_cast<BusClient*>(context);
    std::lock_guard lock(self->mutex_);
    self->pending_.emplace_back(static_cast<std::uint32_t>(wparam),
                                static_cast<std::uint32_t>(lparam & 0xFFFFFFFF));
  }

  pm_window window_{};
  bool registered_ = false;
  std::mutex mutex_;
  std::deque<std::pair<std::uint32_t, std::uint32_t>> pending_;
};

inline frame::FrameRecord WithoutStamp(frame::FrameRecord record) {
  record[14] = record[15] = 0;
  return record;
}

}  // namespace tran::test
