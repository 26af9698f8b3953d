// The hand-over of notifications from the library's thread to the main thread.
#include "tools/notify_queue.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <thread>
#include <vector>

#include "pelmo.h"

namespace {

bool readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

TEST(notify_queue, passes_bus_notifications_in_order_across_threads) {
  tools::NotifyQueue queue(1 << 16);
  ASSERT_TRUE(queue.Ok());
  constexpr int kCount = 20000;
  std::thread io([&] {
    for (int i = 0; i < kCount; ++i) {
      tools::NotifyQueue::PostToQueue(&queue, PM_WM_BUS_NOTIFY, 0x10000412u, i);
      tools::NotifyQueue::PostToQueue(&queue, PM_WM_BUS_NOTIFY + 1, 0, -1);  // not ours
    }
  });
  std::vector<tools::Notification> got;
  while (got.size() < kCount) {
    ASSERT_TRUE(readable(queue.fd(), 10000)) << "stalled after " << got.size();
    for (const auto& n : queue.TakeAll()) got.push_back(n);
  }
  io.join();
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(got[static_cast<std::size_t>(i)].handle, i);
    ASSERT_EQ(got[static_cast<std::size_t>(i)].code, 0x10000412u);
  }
  EXPECT_TRUE(queue.TakeAll().empty());
  EXPECT_FALSE(readable(queue.fd(), 0));
  EXPECT_EQ(queue.Dropped(), 0u);
}

TEST(notify_queue, drops_the_oldest_beyond_its_bound) {
  tools::NotifyQueue queue(3);
  for (int i = 0; i < 5; ++i) queue.Push({0x10000412u, i});
  const auto got = queue.TakeAll();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got.front().handle, 2);
  EXPECT_EQ(got.back().handle, 4);
  EXPECT_EQ(queue.Dropped(), 2u);
}

}  // namespace
