// pelmo_test_peer: a bus client in its own process for the routing tests.
//
//   pelmo_test_peer TAG POSTS CLIENTS   (the bus from $PELMO_BUS)
//
// Registers with value 0x400, waits until CLIENTS clients are on the bus, posts POSTS one-record
// blocks (code 0x20000412, record i carries TAG * 100000 + i), then waits for POSTS such blocks
// from the other peer. Exit 0 only if exactly that arrived.
//
//   pelmo_test_peer reasons R...
//
// Registers, then waits for PM_INFO_OFFLINE_REASON to be each R in turn, printing each one
// reached on a line of its own. Exit 0 once all were reached; 1, with the reason last seen,
// when one was not within the deadline.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pelmo.h"
#include "tests/pelmo/test_window.h"

namespace {

int WaitForReasons(int count, char** reasons) {
  pelmo::testing::TestWindow window;
  if (!window.Register(0x400, "peer")) return 3;
  for (int i = 0; i < count; ++i) {
    const unsigned long wanted = std::strtoul(reasons[i], nullptr, 0);
    if (!pelmo::testing::WaitUntil(
            [&] { return pelmo::testing::Info(PM_INFO_OFFLINE_REASON) == wanted; })) {
      std::printf("reason %lu never came, last %lu\n", wanted,
                  static_cast<unsigned long>(pelmo::testing::Info(PM_INFO_OFFLINE_REASON)));
      return 1;
    }
    std::printf("%lu\n", wanted);
    std::fflush(stdout);
  }
  return window.Unregister() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "reasons") == 0) return WaitForReasons(argc - 2, argv + 2);
  if (argc != 4) return 2;
  const unsigned long tag = std::strtoul(argv[1], nullptr, 0);
  const unsigned long posts = std::strtoul(argv[2], nullptr, 0);
  const unsigned long clients = std::strtoul(argv[3], nullptr, 0);
  pelmo::testing::TestWindow window;
  if (!window.Register(0x400, "peer")) return 3;
  if (!pelmo::testing::WaitUntil(
          [&] { return pelmo::testing::Info(PM_INFO_CLIENTS) >= clients; })) {
    std::printf("peer %lu: bus never reached %lu clients\n", tag, clients);
    return 4;
  }
  for (unsigned long i = 0; i < posts; ++i) {
    std::vector<std::uint8_t> record(16, static_cast<std::uint8_t>(tag));
    const auto seq = static_cast<std::uint32_t>(tag * 100000 + i);
    std::memcpy(record.data(), &seq, sizeof seq);
    if (window.PostBlock(0x20000412, record) != 1) return 5;
  }
  unsigned long received = 0, wrong = 0;
  for (; received < posts; ++received) {
    std::uint32_t code = 0;
    const auto block = window.NextBlock(&code);
    if (!block) break;
    if (code != 0x20000412 || block->size() != 16 || (*block)[4] == tag) ++wrong;
  }
  std::printf("peer %lu: received %lu, wrong %lu\n", tag, received, wrong);
  window.Unregister();
  return received == posts && wrong == 0 ? 0 : 1;
}
