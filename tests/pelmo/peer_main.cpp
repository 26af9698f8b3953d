// pelmo_test_peer: a bus client in its own process for the routing tests.
//
//   pelmo_test_peer --bus PATH --value V --tag T --post N --clients K --expect M --expect-code C
//
// Registers with value V, waits until K clients are on the bus, posts N one-record blocks
// (code 0x20000412, record i carries T * 100000 + i), then waits for M blocks, each of code C
// and well-formed. Prints what it received; exit 0 only if exactly that arrived.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "pelmo.h"
#include "tests/pelmo/test_window.h"

int main(int argc, char** argv) {
  std::string bus;
  unsigned long value = 0, tag = 0, post = 0, clients = 1, expect = 0, expect_code = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const unsigned long v = std::strtoul(argv[i + 1], nullptr, 0);
    if (key == "--bus")
      bus = argv[i + 1];
    else if (key == "--value")
      value = v;
    else if (key == "--tag")
      tag = v;
    else if (key == "--post")
      post = v;
    else if (key == "--clients")
      clients = v;
    else if (key == "--expect")
      expect = v;
    else if (key == "--expect-code")
      expect_code = v;
    else {
      std::fprintf(stderr, "pelmo_test_peer: unknown option %s\n", key.c_str());
      return 2;
    }
  }
  ::setenv("PELMO_BUS", bus.c_str(), 1);
  pelmo::testing::TestWindow window;
  if (!window.Register(static_cast<std::uint32_t>(value), "peer")) return 3;
  if (!pelmo::testing::WaitUntil(
          [&] { return pelmo::testing::Info(PM_INFO_CLIENTS) >= clients; })) {
    std::fprintf(stderr, "peer %lu: bus never reached %lu clients\n", tag, clients);
    return 4;
  }
  for (unsigned long i = 0; i < post; ++i) {
    std::vector<std::uint8_t> record(16, static_cast<std::uint8_t>(tag));
    const std::uint32_t seq = static_cast<std::uint32_t>(tag * 100000 + i);
    std::memcpy(record.data(), &seq, sizeof seq);
    if (window.PostBlock(0x20000412, record) != 1) return 5;
  }
  unsigned long received = 0, wrong = 0;
  while (received < expect) {
    std::uint32_t code = 0;
    const auto block = window.NextBlock(&code);
    if (!block) break;
    if (code != expect_code || block->size() != 16) ++wrong;
    ++received;
  }
  std::printf("peer %lu: received %lu, wrong %lu\n", tag, received, wrong);
  window.Unregister();
  return received == expect && wrong == 0 ? 0 : 1;
}
