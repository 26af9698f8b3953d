// zelk_dump and zelk_send as processes, on a private bus served by an in-process hub.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame/frame_record.h"
#include "frame/send_line.h"
#include "hub/hub.h"
#include "tests/pelmo/stalled_hub.h"
#include "tests/tools/child_process.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using tools_test::after;
using tools_test::ChildProcess;

constexpr std::uint32_t kDelivery = 0x10000412;
constexpr std::uint32_t kPosted = 0x20000412;
constexpr milliseconds kPatience{15000};

struct Posted {
  std::uint32_t code;
  std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> block_of(std::initializer_list<frame::FrameRecord> records) {
  std::vector<std::uint8_t> bytes;
  for (const auto& r : records) bytes.insert(bytes.end(), r.begin(), r.end());
  return bytes;
}

frame::FrameRecord rec(std::uint32_t id, bool extended, std::vector<std::uint8_t> data,
                       std::uint16_t ts) {
  return frame::MakeRecord(id, extended, data.data(), static_cast<std::uint8_t>(data.size()), ts);
}

class tools_bus : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/zelk_tools_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    bus_path_ = (dir_ / "bus" / "bus").string();
    hub_ = std::make_unique<pelmo::Hub>(pelmo::HubOptions{bus_path_});
    hub_->SetPostObserver([this](std::uint32_t code, std::span<const std::uint8_t> block) {
      std::lock_guard lock(mutex_);
      posted_.push_back({code, {block.begin(), block.end()}});
    });
    std::string error;
    ASSERT_EQ(hub_->Start(&error), pelmo::HubStart::kStarted) << error;
  }
  void TearDown() override {
    hub_.reset();
    fs::remove_all(dir_);
  }

  std::vector<std::string> env() const { return {"PELMO_BUS=" + bus_path_, "LD_LIBRARY_PATH"}; }

  // Waits until the hub counts `clients` registered connections.
  bool wait_for_clients(std::uint64_t clients) {
    const auto deadline = after(kPatience);
    while (hub_->Stats().clients != clients) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
  }

  std::vector<Posted> posted() {
    std::lock_guard lock(mutex_);
    return posted_;
  }

  fs::path dir_;
  std::string bus_path_;
  std::unique_ptr<pelmo::Hub> hub_;
  std::mutex mutex_;
  std::vector<Posted> posted_;
};

TEST_F(tools_bus, dump_prints_accepted_frames_as_log_lines_and_stops_at_the_count) {
  ChildProcess dump({ZELK_DUMP_PATH, "-n", "4"}, env());
  ASSERT_TRUE(dump.Started());
  ASSERT_TRUE(wait_for_clients(1)) << dump.Err();
  // A posted block reaches the dump too, but is not a delivery it accepts.
  hub_->Deliver(kPosted, block_of({rec(0x555, false, {0x55}, 50)}));
  hub_->Deliver(kDelivery,
                block_of({rec(0x123, false, {0x01, 0xA0}, 5),
                          rec(0x115599, true, {0, 0x22, 0x99, 0, 0, 0x11, 0x33, 0x33}, 1005),
                          rec(0x7FF, false, {}, 4)}));
  // A trailing part-record is not shown.
  std::vector<std::uint8_t> with_tail = block_of({rec(0x1FFFFFFF, true, {0xFF}, 14)});
  with_tail.resize(with_tail.size() + 8, 0xEE);
  hub_->Deliver(kDelivery, with_tail);
  hub_->Deliver(kDelivery, block_of({rec(0x100, false, {}, 20)}));  // beyond the count

  EXPECT_EQ(dump.Wait(after(kPatience)), 0) << dump.Err();
  EXPECT_EQ(dump.Out(),
            "0      5ms      123 - 01 A0\n"
            "1   1000ms 00115599 - 00 22 99 00 00 11 33 33\n"
            "2  64535ms      7FF -\n"
            "3     10ms 1FFFFFFF - FF\n");
  EXPECT_EQ(dump.Err(), "");
  EXPECT_TRUE(wait_for_clients(0));
}

TEST_F(tools_bus, dump_filter_shows_one_identifier_with_deltas_between_shown_frames) {
  ChildProcess dump({ZELK_DUMP_PATH, "-f", "7ff", "-n", "2"}, env());
  ASSERT_TRUE(wait_for_clients(1)) << dump.Err();
  hub_->Deliver(kDelivery, block_of({rec(0x7FF, false, {1}, 100), rec(0x123, false, {2}, 150)}));
  hub_->Deliver(kDelivery, block_of({rec(0x7FF, true, {3}, 4), rec(0x7FF, false, {4}, 30)}));
  EXPECT_EQ(dump.Wait(after(kPatience)), 0) << dump.Err();
  EXPECT_EQ(dump.Out(),
            "0    100ms      7FF - 01\n"
            "1  65440ms 000007FF - 03\n");
}

TEST_F(tools_bus, dump_prints_each_frame_as_it_arrives_and_ends_cleanly_on_a_signal) {
  for (const int signal_number : {SIGINT, SIGTERM}) {
    ChildProcess dump({ZELK_DUMP_PATH}, env());
    ASSERT_TRUE(wait_for_clients(1)) << dump.Err();
    hub_->Deliver(kDelivery, block_of({rec(0x42, false, {0x42}, 0)}));
    EXPECT_EQ(dump.WaitForLines(1, after(kPatience)), "0      0ms      042 - 42\n");
    hub_->Deliver(kDelivery, block_of({rec(0x43, false, {}, 7)}));
    EXPECT_EQ(dump.WaitForLines(2, after(kPatience)),
              "0      0ms      042 - 42\n1      7ms      043 -\n");
    dump.Signal(signal_number);
    EXPECT_EQ(dump.Wait(after(kPatience)), 0) << signal_number << dump.Err();
    EXPECT_TRUE(wait_for_clients(0));
  }
}

TEST_F(tools_bus, send_hands_every_encoded_frame_to_the_hub_before_exiting) {
  const std::vector<std::string> lines = {"123 45", "115599 00 22 99 00 00 11 33 33", "7FF",
                                          "0001 1 2 3 4 5 6 7 8 9 A"};
  // 20000 frames, several times what the library queues for the hub: the tool posts faster
  // than the hub reads, gets refusals, and must post those frames again.
  std::vector<std::string> argv = {ZELK_SEND_PATH, "-r", "5000"};
  argv.insert(argv.end(), lines.begin(), lines.end());
  ChildProcess send(argv, env());
  ASSERT_EQ(send.Wait(after(kPatience)), 0) << send.Err();
  EXPECT_EQ(send.Err(), "");

  // Checked at once, without waiting: the tool exits only once the hub has them all.
  const std::vector<Posted> got = posted();
  ASSERT_EQ(got.size(), 5000 * lines.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    const frame::FrameRecord want = frame::EncodeSendLine(lines[i % lines.size()]);
    ASSERT_EQ(got[i].code, kPosted) << i;
    ASSERT_EQ(got[i].bytes, std::vector<std::uint8_t>(want.begin(), want.end())) << i;
  }
  EXPECT_TRUE(wait_for_clients(0));
}

TEST_F(tools_bus, send_repeats_the_lines_in_order_with_an_interval) {
  ChildProcess send({ZELK_SEND_PATH, "-r", "2", "-i", "30", "100 01", "200 02"}, env());
  ASSERT_EQ(send.Wait(after(kPatience)), 0) << send.Err();
  const std::vector<Posted> got = posted();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].bytes[0], 0x01);
  EXPECT_EQ(got[1].bytes[0], 0x02);
  EXPECT_EQ(got[2].bytes[0], 0x01);
  EXPECT_EQ(got[3].bytes[0], 0x02);
}

TEST_F(tools_bus, send_gives_up_when_the_hub_stops_reading_and_says_so) {
  hub_.reset();
  pelmo::testing::StalledHub stalled(bus_path_);  // accepts, never reads
  ASSERT_TRUE(stalled.ok());
  ChildProcess send({ZELK_SEND_PATH, "-r", "10000", "7FF"}, env());
  ASSERT_TRUE(stalled.Accept());
  EXPECT_EQ(send.Wait(after(kPatience)), 1);
  EXPECT_NE(send.Err().find("the bus took no frame for 5 s"), std::string::npos) << send.Err();
  EXPECT_NE(send.Err().find(" of 10000 frames"), std::string::npos) << send.Err();
}

TEST_F(tools_bus, send_without_a_hub_fails_and_says_so) {
  hub_.reset();
  ChildProcess send({ZELK_SEND_PATH, "7FF"}, env());
  EXPECT_EQ(send.Wait(after(kPatience)), 1);
  EXPECT_NE(send.Err().find("no bus hub"), std::string::npos) << send.Err();
}

TEST_F(tools_bus, bad_options_exit_2_naming_the_bad_item) {
  const struct {
    std::vector<std::string> argv;
    const char* named;
  } cases[] = {
      {{ZELK_DUMP_PATH, "-f", "12345"}, "'12345'"},
      {{ZELK_DUMP_PATH, "--follow"}, "'--follow'"},
      {{ZELK_SEND_PATH}, "LINE"},
  };
  for (const auto& c : cases) {
    ChildProcess tool(c.argv, env());
    EXPECT_EQ(tool.Wait(after(kPatience)), 2) << c.named;
    EXPECT_NE(tool.Err().find(c.named), std::string::npos) << tool.Err();
    EXPECT_EQ(tool.Out(), "");
  }
  EXPECT_EQ(hub_->Stats().clients, 0u);
}

TEST_F(tools_bus, help_prints_usage_and_succeeds) {
  for (const auto& [path, name] :
       {std::pair{ZELK_DUMP_PATH, "zelk_dump"}, std::pair{ZELK_SEND_PATH, "zelk_send"}}) {
    ChildProcess tool({path, "--help"}, env());
    EXPECT_EQ(tool.Wait(after(kPatience)), 0);
    EXPECT_EQ(tool.Out().rfind(std::string("usage: ") + name, 0), 0u) << tool.Out();
  }
}

TEST_F(tools_bus, missing_bus_library_is_reported_with_the_loaders_reason) {
  const struct {
    const char* path;
    std::vector<std::string> args;
  } cases[] = {{ZELK_DUMP_PATH, {}}, {ZELK_SEND_PATH, {"7FF"}}};
  for (const auto& c : cases) {
    // A copy away from the build folder has no libpelmo.so beside it.
    const fs::path copy = dir_ / fs::path(c.path).filename();
    fs::copy_file(c.path, copy);
    std::vector<std::string> argv = {copy.string()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ChildProcess tool(argv, env());
    EXPECT_EQ(tool.Wait(after(kPatience)), 1) << c.path;
    EXPECT_NE(tool.Err().find("cannot load the bus library libpelmo.so: libpelmo.so: cannot open"),
              std::string::npos)
        << tool.Err();
  }
  EXPECT_EQ(hub_->Stats().clients, 0u);
}

TEST_F(tools_bus, bus_library_in_the_current_directory_is_never_loaded) {
  // Run a copy that has no libpelmo.so beside it from the build folder, which has one.
  const fs::path build_bin = fs::path(ZELK_SEND_PATH).parent_path();
  ASSERT_TRUE(fs::exists(build_bin / "libpelmo.so"));
  const fs::path copy = dir_ / "zelk_send";
  fs::copy_file(ZELK_SEND_PATH, copy);
  ChildProcess tool({copy.string(), "7FF"}, env(), build_bin.string());
  EXPECT_EQ(tool.Wait(after(kPatience)), 1);
  EXPECT_NE(tool.Err().find("cannot load the bus library"), std::string::npos) << tool.Err();
  EXPECT_TRUE(posted().empty());
}

}  // namespace
