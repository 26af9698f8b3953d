// The notification rules: pause, code bits, whole records only, null blocks, record order.
#include "bus/bus_notify.h"

#include <gtest/gtest.h>

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
    g_blocks = FakeBlocks{};
    Fake().Reset();
    static int unused = 0;
    for (const std::string& name : bus_test::kEntryPoints) Fake().symbols[name] = &unused;
    Fake().symbols["pmGetp"] = reinterpret_cast<void*>(&fake_getp);
    ASSERT_TRUE(bus::LoadBusFrom("fake", FakeLoader()));
    frame::PendingText().clear();
    frame::LastTimestamp() = 0;
  }
  void TearDown() override { bus::UnloadBus(); }

  std::intptr_t notify(bool paused, std::uintptr_t code, std::intptr_t handle = 7) {
    return bus::OnBusNotify(paused, code, handle, ctx_);
  }
  // Everything shown so far: written to the view, then still pending.
  std::string shown() const { return view_.Text() + frame::PendingText(); }

  std::uint64_t rx_count_ = 0;
  std::uint64_t line_no_ = 0;
  bool flush_due_ = true;
  std::string filter_text_;
  std::uint32_t filter_id_ = 0;
  frame::MemoryLogView view_;
  frame::ShowRecordContext ctx_{rx_count_, line_no_, flush_due_, filter_text_, filter_id_, view_};
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

TEST_F(bus_notify, paused_monitor_fetches_nothing) {
  g_blocks.block = records({std_record(0x123, 5)});
  EXPECT_EQ(notify(true, bus::kBridgeDeliveryCode), 0);
  EXPECT_TRUE(g_blocks.fetched.empty());
  EXPECT_EQ(rx_count_, 0u);
}

TEST_F(bus_notify, foreign_codes_are_neither_fetched_nor_shown) {
  g_blocks.block = records({std_record(0x123, 5)});
  for (std::uint32_t code : {0x10000012u, 0x00000412u, 0x20000412u, 0x10000413u}) {
    EXPECT_EQ(notify(false, code), 0);
  }
  EXPECT_TRUE(g_blocks.fetched.empty());
  EXPECT_EQ(rx_count_, 0u);
  EXPECT_EQ(shown(), "");
}

TEST_F(bus_notify, fetches_by_the_low_32_bits_of_the_handle) {
  const auto handle = static_cast<std::intptr_t>(0x7FFFFFFF00000005);
  notify(false, bus::kBridgeDeliveryCode, handle);
  notify(false, bus::kBridgeDeliveryCode, -1);
  EXPECT_EQ(g_blocks.fetched, (std::vector<std::uint32_t>{5u, 0xFFFFFFFFu}));
}

TEST_F(bus_notify, code_bits_above_32_are_not_examined) {
  g_blocks.block = records({std_record(0x123, 5)});
  notify(false, static_cast<std::uintptr_t>(0xFFFFFFFF00000000) | bus::kBridgeDeliveryCode);
  EXPECT_EQ(rx_count_, 1u);
}

TEST_F(bus_notify, shows_only_whole_records) {
  const std::vector<std::uint8_t> three =
      records({std_record(0x100, 1), std_record(0x101, 2), std_record(0x102, 3)});
  const struct {
    std::size_t bytes;
    std::uint64_t shown;
  } cases[] = {{0, 0}, {15, 0}, {16, 1}, {31, 1}, {32, 2}, {47, 2}, {48, 3}};
  for (const auto& c : cases) {
    rx_count_ = 0;
    g_blocks.block.assign(three.begin(), three.begin() + static_cast<std::ptrdiff_t>(c.bytes));
    notify(false, bus::kBridgeDeliveryCode);
    EXPECT_EQ(rx_count_, c.shown) << c.bytes << " bytes";
  }
}

TEST_F(bus_notify, null_block_shows_nothing_whatever_count_was_written) {
  g_blocks.block = records({std_record(0x100, 1)});
  g_blocks.return_null = true;
  g_blocks.reported_count = 64;
  EXPECT_EQ(notify(false, bus::kBridgeDeliveryCode), 0);
  EXPECT_EQ(g_blocks.fetched.size(), 1u);
  EXPECT_EQ(rx_count_, 0u);
}

TEST_F(bus_notify, count_left_unwritten_reads_as_empty) {
  g_blocks.block = records({std_record(0x100, 1)});
  g_blocks.write_count = false;
  notify(false, bus::kBridgeDeliveryCode);
  EXPECT_EQ(g_blocks.fetched.size(), 1u);
  EXPECT_EQ(rx_count_, 0u);
}

TEST_F(bus_notify, unbound_notification_shows_nothing) {
  bus::UnloadBus();
  notify(false, bus::kBridgeDeliveryCode);
  EXPECT_TRUE(g_blocks.fetched.empty());
  EXPECT_EQ(rx_count_, 0u);
}

TEST_F(bus_notify, several_records_are_shown_in_block_order) {
  const std::uint8_t data[8] = {0x00, 0x22, 0x99, 0x00, 0x00, 0x11, 0x33, 0x33};
  g_blocks.block = records({std_record(0x123, 5), frame::MakeRecord(0x115599, true, data, 8, 1005),
                            frame::MakeRecord(0x7FF, false, nullptr, 0, 4)});
  EXPECT_EQ(notify(false, bus::kBridgeDeliveryCode), 0);
  EXPECT_EQ(rx_count_, 3u);
  EXPECT_EQ(line_no_, 3u);
  EXPECT_EQ(shown(),
            "0      5ms      123 - 01 A0\r\n"
            "1   1000ms 00115599 - 00 22 99 00 00 11 33 33\r\n"
            "2  64535ms      7FF -\r\n");
  EXPECT_EQ(view_.RxText(), "RX:3");
}

}  // namespace
