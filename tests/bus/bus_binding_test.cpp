// The binding table against the recording library, a library lacking one name, a missing
// file, and a fake loader that shows the resolution order.
#include "bus/bus_binding.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
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
  void SetUp() override { Fake() = {}; }
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

// A library lacking one name, or a missing file: every slot stays empty, nothing stays loaded,
// and the reason names what went wrong.
TEST_F(bus_binding, failed_load_leaves_every_slot_empty_and_says_why) {
  const std::string absent = std::string(RECORDING_BUS_LIB) + ".absent";
  const struct {
    std::string path;
    std::string reason;
  } cases[] = {
      {LACKING_BUS_LIB, std::string("missing entry point pmGetInfo in ") + LACKING_BUS_LIB},
      {absent, absent + ": cannot open"}};
  for (const auto& c : cases) {
    EXPECT_FALSE(bus::LoadBusFrom(c.path.c_str()));
    expect_unbound();
    EXPECT_EQ(bus::LoadError().rfind(c.reason, 0), 0u) << bus::LoadError();
    EXPECT_FALSE(still_loaded(c.path.c_str()));
  }
}

// Every load, unload and reload leaves exactly the one module bound, or none: a module held
// twice, or one leaked by a failed load, would stay loaded after the last unload.
TEST_F(bus_binding, each_load_releases_the_module_it_replaces) {
  EXPECT_TRUE(bus::UnloadBus());  // harmless while unbound
  ASSERT_TRUE(bus::LoadBusFrom(RECORDING_BUS_LIB));
  ASSERT_TRUE(bus::LoadBusFrom(RECORDING_BUS_LIB));
  EXPECT_TRUE(still_loaded(RECORDING_BUS_LIB));
  EXPECT_TRUE(bus::UnloadBus());
  expect_unbound();
  EXPECT_FALSE(still_loaded(RECORDING_BUS_LIB));
  EXPECT_TRUE(bus::UnloadBus());

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
  test_helper<void (*)(const void*, std::uint32_t)>("test_set_block")(record, sizeof record);
  EXPECT_TRUE(bus::Register(&window, bus::kRegisterValue, bus::kRegisterName));
  bus::Post(&window, bus::kKindFrames, record, sizeof record);
  std::uint32_t count = 0;
  const auto* got = static_cast<const std::uint8_t*>(bus::Fetch(0xFFFFFFFE, &count));
  bus::Unregister(&window);
  EXPECT_EQ(call_log(), "pmRegister(" + w + ",1024,zelk_test)\n" + "pmPostData(" + w +
                            ",20000412,16,0022990000113333C8AC8A0000883412)\n" +
                            "pmGetp(4294967294)\n" + "pmUnregister(" + w + ")\n");
  ASSERT_NE(got, nullptr);
  ASSERT_EQ(count, sizeof record);
  EXPECT_EQ(std::memcmp(got, record, sizeof record), 0);
}

// The code word is the posted base with the kind's low byte.
TEST_F(bus_binding, post_keeps_only_the_low_byte_of_the_kind) {
  ASSERT_TRUE(bus::LoadBusFrom(RECORDING_BUS_LIB));
  pm_window window{};
  const std::string w = pointer_text(&window);
  const struct {
    std::uint32_t kind;
    const char* code;
  } cases[] = {{0x00, "20000400"}, {0x1FF, "200004FF"}, {0xFFFFFF12, "20000412"}};
  for (const auto& c : cases) {
    reset_log();
    bus::Post(&window, c.kind, nullptr, 0);
    EXPECT_EQ(call_log(), "pmPostData(" + w + "," + c.code + ",0,)\n") << c.kind;
  }
}

// Names resolve in binding order, stopping at a missing one; the module is released once
// either way, and a loader that gives no reason still yields an explanation.
TEST_F(bus_binding, names_resolve_in_order_and_any_missing_one_fails_the_whole_load) {
  int target = 0;
  for (std::size_t missing = 0; missing <= kEntryPoints.size(); ++missing) {
    SCOPED_TRACE(missing);
    Fake() = {};
    for (const std::string& name : kEntryPoints) Fake().symbols[name] = &target;
    const bool complete = missing == kEntryPoints.size();
    if (!complete) Fake().absent.insert(kEntryPoints[missing]);
    EXPECT_EQ(bus::LoadBusFrom("fake", FakeLoader()), complete);
    EXPECT_EQ(Fake().requested,
              std::vector<std::string>(
                  kEntryPoints.begin(),
                  kEntryPoints.begin() + std::min(missing + 1, kEntryPoints.size())));
    if (complete) {
      EXPECT_EQ(Fake().closes, 0);
      bus::UnloadBus();
    } else {
      expect_unbound();
      EXPECT_EQ(bus::LoadError(), "missing entry point " + kEntryPoints[missing] + " in fake");
    }
    EXPECT_EQ(Fake().opens, 1);
    EXPECT_EQ(Fake().closes, 1);
  }
  Fake() = {};
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
