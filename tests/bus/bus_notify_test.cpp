// The notification rules: pause, code bits, whole records only, null blocks. The lines shown for
// a block, in order, are checked through zelk_dump in tests/tools.
#include "bus/bus_notify.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "bus/bus_binding.h"
#include "frame/frame_record.h"
#include "frame/memory_log_view.h"
#include "tests/bus/fake_loader.h"

namespace {

using bus_test::Fake;
using bus_test::FakeLoader;

// What the fake pmGetp hands out, and what it was asked for.
struct FakeBlocks {
  std::vector<std::uint8_t> block;
  bool return_null = false;
  bool write_count = true;
  std::uint32_t reported_count = 0;  // written instead of block.size() when nonzero
  std::vector<std::uint32_t> fetched;
};
FakeBlocks g_blocks;

const void* fake_getp(std::uint32_t handle, std::uint32_t* byte_count) {
  g_blocks.fetched.push_back(handle);
  if (g_blocks.write_count && byte_count != nullptr) {
    *byte_count = g_blocks.reported_count != 0 ? g_blocks.reported_count
                                               : static_cast<std::uint32_t>(g_blocks.block.size());
  }
  return g_blocks.return_null ? nullptr : g_blocks.block.data();
}

std::vector<std::uint8_t> records(std::initializer_list<frame::FrameRecord> list) {
  std::vector<std::uint8_t> bytes;
  for (const frame::FrameRecord& r : list) bytes.insert(bytes.end(), r.begin(), r.end());
  return bytes;
}

frame::FrameRecord std_record(std::uint32_t id, std::uint16_t timestamp) {
  const std::uint8_t data[2] = {0x01, 0xA0};
  return frame::MakeRecord(id, false, data, 2, timestamp);
}

class bus_notify : public ::testing::Test {
 protected:
  void SetUp() override {
    state_.flush_due = true;
    g_blocks = FakeBlocks{};
    Fake() = {};
    static int unused = 0;
    for (const std::string& name : bus_test::kEntryPoints) Fake().symbols[name] = &unused;
    Fake().symbols["pmGetp"] = reinterpret_cast<void*>(&fake_getp);
    ASSERT_TRUE(bus::LoadBusFrom("fake", FakeLoader()));
    frame::PendingText().clear();
    frame::LastTimestamp() = 0;
  }
  void TearDown() override { bus::UnloadBus(); }

  std::intptr_t notify(bool paused, std::uintptr_t code, std::intptr_t handle = 7) {
    return bus::OnBusNotify(paused, code, handle, state_.Context(view_));
  }

  frame::ReceiveLogState state_;
  frame::MemoryLogView view_;
};

TEST_F(bus_notify, accepts_only_codes_with_route_and_delivery_bits_and_frame_kind) {
  const struct {
    std::uint32_t code;
    bool accepted;
  } cases[] = {
      {0x10000412, true},  {0x30000412, true},  {0xFFFFFF12, true},  {0x1000FC12, true},
      {0x10000012, false}, {0x00000412, false}, {0x20000412, false}, {0x10000413, false},
      {0x10000402, false}, {0xEFFFFFFF, false}, {0xFFFFFB12, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(bus::IsAcceptedDelivery(c.code), c.accepted) << std::hex << c.code;
}

// Each rule on its own: what is fetched, and how many records are shown.
TEST_F(bus_notify, fetches_and_shows_only_what_the_rules_allow) {
  const std::vector<std::uint8_t> three =
      records({std_record(0x100, 1), std_record(0x101, 2), std_record(0x102, 3)});
  constexpr std::uintptr_t kOk = bus::kBridgeDeliveryCode;
  constexpr std::optional<std::uint32_t> kNone;  // nothing fetched
  const struct {
    const char* what;
    bool paused;
    std::uintptr_t code;
    std::intptr_t handle;
    std::size_t bytes;
    bool null_block;
    bool count_written;
    bool bound;
    std::optional<std::uint32_t> fetched;  // the handle asked for
    std::uint64_t shown;
  } cases[] = {
      {"paused", true, kOk, 7, 48, false, true, true, kNone, 0},
      {"no delivery bit", false, 0x20000412, 7, 48, false, true, true, kNone, 0},
      {"no route bit", false, 0x10000012, 7, 48, false, true, true, kNone, 0},
      {"other kind", false, 0x10000413, 7, 48, false, true, true, kNone, 0},
      {"bits above 32 ignored", false, 0xFFFFFFFF00000000u | kOk, 7, 48, false, true, true, 7, 3},
      {"handle's low 32 bits", false, kOk, static_cast<std::intptr_t>(0x7FFFFFFF00000005), 48,
       false, true, true, 5, 3},
      {"handle -1", false, kOk, -1, 48, false, true, true, 0xFFFFFFFF, 3},
      {"empty block", false, kOk, 7, 0, false, true, true, 7, 0},
      {"part-record only", false, kOk, 7, 15, false, true, true, 7, 0},
      {"one and a part", false, kOk, 7, 31, false, true, true, 7, 1},
      {"two and a part", false, kOk, 7, 47, false, true, true, 7, 2},
      {"null block, count written", false, kOk, 7, 48, true, true, true, 7, 0},
      {"count left unwritten", false, kOk, 7, 48, false, false, true, 7, 0},
      {"unbound (last: it unloads)", false, kOk, 7, 48, false, true, false, kNone, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    g_blocks = FakeBlocks{};
    g_blocks.block.assign(three.begin(), three.begin() + static_cast<std::ptrdiff_t>(c.bytes));
    g_blocks.return_null = c.null_block;
    g_blocks.write_count = c.count_written;
    if (c.null_block) g_blocks.reported_count = 64;
    if (!c.bound) bus::UnloadBus();
    state_.rx_count = 0;
    EXPECT_EQ(notify(c.paused, c.code, c.handle), 0);
    EXPECT_EQ(g_blocks.fetched,
              c.fetched ? std::vector<std::uint32_t>{*c.fetched} : std::vector<std::uint32_t>{});
    EXPECT_EQ(state_.rx_count, c.shown);
  }
}

}  // namespace
