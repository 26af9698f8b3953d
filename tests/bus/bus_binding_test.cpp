// The binding table against the recording library, a library lacking one name, a missing
// file, and a fake loader that shows the resolution order.
#include "bus/bus_binding.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/bus/fake_loader.h"

namespace {

using bus_test::Fake;
using bus_test::FakeLoader;
using bus_test::kEntryPoints;

// The nine slots of the table, in binding order, as untyped addresses.
std::vector<void*> slots() {
  const bus::BusTable& t = bus::Binding();
  return {reinterpret_cast<void*>(t.pmPostData),     reinterpret_cast<void*>(t.pmRegister),
          reinterpret_cast<void*>(t.pmUnregister),   reinterpret_cast<void*>(t.pmGetPublicVar),
          reinterpret_cast<void*>(t.pmSetPublicVar), reinterpret_cast<void*>(t.pmGetp),
          reinterpret_cast<void*>(t.pmGetStr),       reinterpret_cast<void*>(t.pmSetStr),
          reinterpret_cast<void*>(t.pmGetInfo)};
}

void expect_unbound() {
  EXPECT_FALSE(bus::IsBound());
  EXPECT_EQ(bus::Binding().module, nullptr);
  for (void* slot : slots()) EXPECT_EQ(slot, nullptr);
}

// True while the dynamic loader still holds the library at path.
bool still_loaded(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

// Helpers exported by the recording library, found through the bound module.
template <typename Fn>
Fn test_helper(const char* name) {
  void* address = dlsym(bus::Binding().module, name);
  EXPECT_NE(address, nullptr) << name;
  return reinterpret_cast<Fn>(address);
}
std::string call_log() { return test_helper<const char* (*)()>("test_call_log")(); }
void reset_log() { test_helper<void (*)()>("test_reset")(); }

std::string pointer_text(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

class bus_binding : public ::testing::Test {
 protected:
  void SetUp() override { Fake().Reset(); }
  void TearDown() override { bus::UnloadBus(); }
};

TEST_F(bus_binding, complete_library_fills_every_slot_with_its_own_entry_point) {
  ASSERT_TRUE(bus::LoadBusFrom(RECORDING_BUS_LIB)) << bus::LoadError();
  EXPECT_TRUE(bus::IsBound());
  EXPECT_EQ(bus::LoadError(), "");
  const std::vector<void*> bound = slots();
  for (std::size_t i = 0; i < kEntryPoints.size(); ++i) {
    EXPECT_EQ(bound[i], dlsym(bus::Binding().module, kEntryPoints[i].c_str())) << kEntryPoints[i];
  }
  // Loading resolves the names only; no entry point is called.
  EXPECT_EQ(call_log(), "");
}

TEST_F(bus_binding, library_lacking_one_name_leaves_every_slot_empty_and_is_released) {
  EXPECT_FALSE(bus::LoadBusFrom(LACKING_BUS_LIB));
  expect_unbound();
  EXPECT_EQ(bus::LoadError(), std::string("missing entry point pmGetInfo in ") + LACKING_BUS_LIB);
  EXPECT_FALSE(still_loaded(LACKING_BUS_LIB));
}

TEST_F(bus_binding, missing_file_fails_with_the_loaders_reason) {
  const std::string path = std::string(RECORDING_BUS_LIB) + ".absent";
  EXPECT_FALSE(bus::LoadBusFrom(path.c_str()));
  expect_unbound();
  EXPECT_NE(bus::LoadError().find(path), std::string::npos) << bus::LoadError();
}

TEST_F(bus_binding, unload_releases_the_library_and_is_harmless_when_unbound) {
  EXPECT_TRUE(bus::UnloadBus());
  EXPECT_TRUE(bus::UnloadBus());
  ASSERT_TRUE(bus::LoadBusFrom(RECORDING_BUS_LIB));
  EXPECT_TRUE(still_loaded(RECORDING_BUS_LIB));
  EXPECT_TRUE(bus::UnloadBus());
  expect_unbound();
  EXPECT_FALSE(still_loaded(RECORDING_BUS_LIB));
  EXPECT_TRUE(bus::UnloadBus());
}

TEST_F(bus_binding, reload_releases_the_previous_module_first) {
  ASSERT_TRUE(bus::LoadBusFrom(RECORDING_BUS_LIB));
  ASSERT_TRUE(bus::LoadBusFrom(RECORDING_BUS_LIB));
  EXPECT_TRUE(bus::IsBound());
  bus::UnloadBus();
  // One unload drops the last reference: the first load's was released by the reload.
  EXPECT_FALSE(still_loaded(RECORDING_BUS_LIB));
}

TEST_F(bus_binding, failed_load_after_a_success_leaves_the_table_empty) {
  ASSERT_TRUE(bus::LoadBusFrom(RECORDING_BUS_LIB));
  EXPECT_FALSE(bus::LoadBusFrom(LACKING_BUS_LIB));
  expect_unbound();
  EXPECT_FALSE(still_loaded(RECORDING_BUS_LIB));
  ASSERT_TRUE(bus::LoadBusFrom(RECORDING_BUS_LIB));
  EXPECT_EQ(bus::LoadError(), "");
}

TEST_F(bus_binding, wrappers_do_nothing_while_unbound) {
  pm_window window{};
  const std::uint8_t record[16] = {};
  EXPECT_FALSE(bus::Register(&window, bus::kRegisterValue, bus::kRegisterName));
  bus::Post(&window, bus::kKindFrames, record, sizeof record);
  bus::Unregister(&window);
  std::uint32_t count = 0xDEADBEEF;
  EXPECT_EQ(bus::Fetch(1, &count), nullptr);
  EXPECT_EQ(count, 0xDEADBEEFu);
}

TEST_F(bus_binding, wrappers_forward_their_arguments) {
  ASSERT_TRUE(bus::LoadBusFrom(RECORDING_BUS_LIB));
  reset_log();
  pm_window window{};
  const std::string w = pointer_text(&window);
  const std::uint8_t record[16] = {0x00, 0x22, 0x99, 0, 0, 0x11, 0x33, 0x33,
                                   0xC8, 0xAC, 0x8A, 0, 0, 0x88, 0x34, 0x12};
  EXPECT_TRUE(bus::Register(&window, bus::kRegisterValue, bus::kRegisterName));
  bus::Post(&window, bus::kKindFrames, record, sizeof record);
  bus::Unregister(&window);
  EXPECT_EQ(call_log(), "pmRegister(" + w + ",1024,zelk_test)\n" + "pmPostData(" + w +
                            ",20000412,16,0022990000113333C8AC8A0000883412)\n" + "pmUnregister(" +
                            w + ")\n");
}

TEST_F(bus_binding, post_keeps_only_the_low_byte_of_the_kind) {
  ASSERT_TRUE(bus::LoadBusFrom(RECORDING_BUS_LIB));
  pm_window window{};
  const std::string w = pointer_text(&window);
  const struct {
    std::uint32_t kind;
    const char* code;
  } cases[] = {{0x12, "20000412"},
               {0x00, "20000400"},
               {0xFF, "200004FF"},
               {0x1FF, "200004FF"},
               {0xFFFFFF12, "20000412"}};
  for (const auto& c : cases) {
    reset_log();
    bus::Post(&window, c.kind, nullptr, 0);
    EXPECT_EQ(call_log(), "pmPostData(" + w + "," + c.code + ",0,)\n") << c.kind;
  }
}

TEST_F(bus_binding, fetch_returns_the_block_and_its_byte_count) {
  ASSERT_TRUE(bus::LoadBusFrom(RECORDING_BUS_LIB));
  reset_log();
  const std::uint8_t block[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
  test_helper<void (*)(const void*, std::uint32_t)>("test_set_block")(block, sizeof block);
  std::uint32_t count = 0;
  const auto* got = static_cast<const std::uint8_t*>(bus::Fetch(0xFFFFFFFE, &count));
  ASSERT_NE(got, nullptr);
  ASSERT_EQ(count, sizeof block);
  EXPECT_EQ(std::string(got, got + count), std::string(block, block + sizeof block));
  EXPECT_EQ(call_log(), "pmGetp(4294967294)\n");
}

TEST_F(bus_binding, names_resolve_in_binding_order) {
  int target = 0;
  for (const std::string& name : kEntryPoints) Fake().symbols[name] = &target;
  ASSERT_TRUE(bus::LoadBusFrom("fake", FakeLoader()));
  EXPECT_EQ(Fake().requested, kEntryPoints);
  EXPECT_EQ(Fake().opens, 1);
  EXPECT_EQ(Fake().closes, 0);
  bus::UnloadBus();
  EXPECT_EQ(Fake().closes, 1);
}

TEST_F(bus_binding, any_one_missing_name_fails_the_whole_load) {
  int target = 0;
  for (std::size_t missing = 0; missing < kEntryPoints.size(); ++missing) {
    Fake().Reset();
    for (const std::string& name : kEntryPoints) Fake().symbols[name] = &target;
    Fake().absent.insert(kEntryPoints[missing]);
    EXPECT_FALSE(bus::LoadBusFrom("fake", FakeLoader()));
    expect_unbound();
    EXPECT_EQ(bus::LoadError(), "missing entry point " + kEntryPoints[missing] + " in fake");
    // Resolution stops at the missing name, and the module is released once.
    EXPECT_EQ(Fake().requested.size(), missing + 1);
    EXPECT_EQ(Fake().closes, 1);
  }
}

TEST_F(bus_binding, open_failure_without_a_reason_still_explains_itself) {
  Fake().fail_open = true;
  EXPECT_FALSE(bus::LoadBusFrom("fake", FakeLoader()));
  expect_unbound();
  EXPECT_EQ(bus::LoadError(), "cannot load fake");
  EXPECT_EQ(Fake().closes, 0);
}

#ifdef BUS_LIBRARY_BESIDE_TESTS
TEST_F(bus_binding, load_bus_binds_the_library_beside_the_program_by_name) {
  ASSERT_TRUE(bus::LoadBus()) << bus::LoadError();
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(bus::Binding().pmGetp), &info), 0);
  EXPECT_EQ(std::string(info.dli_fname), std::string(BUS_LIBRARY_BESIDE_TESTS));
}
#endif

}  // namespace
