// The event loop's rounds: deferred work runs once per round after the callbacks and timers,
// and a socket watched for nothing does not wake the loop even when its peer hangs up.
#include "loop/event_loop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace zelk {
namespace {

using namespace std::chrono_literals;

struct SocketPair {
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fd), 0); }
  ~SocketPair() {
    for (int f : fd) {
      if (f >= 0) ::close(f);
    }
  }
  int fd[2] = {-1, -1};
};

TEST(event_loop, deferred_work_runs_after_the_rounds_callbacks_and_timers_in_the_same_round) {
  EventLoop loop;
  SocketPair pair;
  std::vector<std::string> order;
  loop.Watch(pair.fd[0], POLLIN, [&](short) {
    char byte;
    while (::read(pair.fd[0], &byte, 1) == 1) {
    }
    order.push_back("readable");
    loop.Defer([&] {
      order.push_back("deferred");
      loop.Defer([&] { order.push_back("deferred by deferred"); });
    });
  });
  loop.AddTimer(EventLoop::Clock::now(), [&] { order.push_back("timer"); });
  ASSERT_EQ(::write(pair.fd[1], "x", 1), 1);
  loop.RunOnce(1000ms);
  EXPECT_EQ(order,
            (std::vector<std::string>{"readable", "timer", "deferred", "deferred by deferred"}));
}

TEST(event_loop, a_hung_up_socket_watched_for_nothing_is_left_out_of_the_wait) {
  EventLoop loop;
  SocketPair pair;
  int calls = 0;
  loop.Watch(pair.fd[0], 0, [&](short) { ++calls; });
  ::close(pair.fd[1]);
  pair.fd[1] = -1;
  for (int i = 0; i < 3; ++i) loop.RunOnce(10ms);
  EXPECT_EQ(calls, 0);
  // Watched for input again, it reports the hang-up.
  loop.SetEvents(pair.fd[0], POLLIN);
  loop.RunOnce(1000ms);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace zelk
