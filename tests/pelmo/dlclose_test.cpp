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
  void* module = nullptr;
  pmRegister_fn reg = nullptr;
  pmUnregister_fn unreg = nullptr;
  pmPostData_fn post = nullptr;
  pmGetp_fn getp = nullptr;
  pmGetInfo_fn info = nullptr;

  bool Open() {
    module = ::dlopen(PELMO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!module) return false;
    reg = reinterpret_cast<pmRegister_fn>(::dlsym(module, "pmRegister"));
    unreg = reinterpret_cast<pmUnregister_fn>(::dlsym(module, "pmUnregister"));
    post = reinterpret_cast<pmPostData_fn>(::dlsym(module, "pmPostData"));
    getp = reinterpret_cast<pmGetp_fn>(::dlsym(module, "pmGetp"));
    info = reinterpret_cast<pmGetInfo_fn>(::dlsym(module, "pmGetInfo"));
    return reg && unreg && post && getp && info;
  }
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
    ASSERT_TRUE(lib.Open()) << ::dlerror();
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
