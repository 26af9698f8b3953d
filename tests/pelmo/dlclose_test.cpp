// Loads libpelmo.so by path, uses it, unregisters and unloads it, over and over: once the last
// window is unregistered nothing of the library may still run (ThreadSanitizer and ASan check).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstring>

#include "hub/hub.h"
#include "pelmo.h"
#include "tests/hub/test_support.h"

namespace pelmo {
namespace {

struct Library {
  void* module = ::dlopen(PELMO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  template <typename Fn>
  Fn Get(const char* name) {
    return module ? reinterpret_cast<Fn>(::dlsym(module, name)) : nullptr;
  }
  pmRegister_fn reg = Get<pmRegister_fn>("pmRegister");
  pmUnregister_fn unreg = Get<pmUnregister_fn>("pmUnregister");
  pmPostData_fn post = Get<pmPostData_fn>("pmPostData");
  pmGetp_fn getp = Get<pmGetp_fn>("pmGetp");
  bool Ok() const { return reg && unreg && post && getp; }
};

struct Received {
  std::atomic<std::uint32_t> handle{0};
  std::atomic<int> count{0};
};

void OnPost(void* context, std::uint32_t message, std::uintptr_t, std::intptr_t lparam) {
  auto* r = static_cast<Received*>(context);
  if (message != PM_WM_BUS_NOTIFY) return;
  r->handle.store(static_cast<std::uint32_t>(lparam));
  r->count.fetch_add(1);
}

TEST(pelmo_dlclose, unloads_cleanly_right_after_the_last_unregister) {
  testing::TempBus bus;
  ::setenv("PELMO_BUS", bus.path().c_str(), 1);
  Hub hub(HubOptions{bus.path(), 64});
  ASSERT_EQ(hub.Start(), HubStart::kStarted);
  const std::uint8_t record[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    Library lib;
    ASSERT_TRUE(lib.Ok()) << ::dlerror();
    Received received;
    pm_window window{&OnPost, &received};
    pm_window sender{&OnPost, &received};
    ASSERT_EQ(lib.reg(&window, 1024, "zelk_test"), 1);
    ASSERT_EQ(lib.reg(&sender, 0x400, "sender"), 1);
    ASSERT_TRUE(testing::WaitUntil([&] { return hub.Stats().clients == 2; }));

    hub.Deliver(0x10000412, record);
    ASSERT_EQ(lib.post(&sender, 0x20000412, record, sizeof record), 1);
    ASSERT_TRUE(testing::WaitUntil([&] { return received.count.load() >= 3; }));
    std::uint32_t count = 0;
    const void* block = lib.getp(received.handle.load(), &count);
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(count, sizeof record);
    EXPECT_EQ(std::memcmp(block, record, sizeof record), 0);

    // Keep the bus busy while unregistering, so a notification may be in flight.
    for (int i = 0; i < 20; ++i) hub.Deliver(0x10000412, record);
    EXPECT_EQ(lib.unreg(&sender), 1);
    EXPECT_EQ(lib.unreg(&window), 1);
    const int after = received.count.load();
    EXPECT_EQ(::dlclose(lib.module), 0);
    // Nothing calls back into the unloaded library's window.
    for (int i = 0; i < 5; ++i) hub.Deliver(0x10000412, record);
    ASSERT_TRUE(testing::WaitUntil([&] { return hub.Stats().clients == 0; }));
    EXPECT_EQ(received.count.load(), after);
  }
}

}  // namespace
}  // namespace pelmo
