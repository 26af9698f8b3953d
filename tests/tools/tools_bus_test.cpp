// zelk_dump and zelk_send as processes, on a private bus served by an in-process hub.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "frame/frame_record.h"
#include "frame/send_line.h"
#include "hub/hub.h"
#include "tests/hub/child_process.h"
#include "tests/hub/other_user.h"
#include "tests/hub/stalled_hub.h"

namespace {

namespace fs = std::filesystem;
using pelmo::testing::AsOtherUser;
using pelmo::testing::ChildProcess;
using pelmo::testing::WaitUntil;

constexpr std::uint32_t kDelivery = 0x10000412;
constexpr std::uint32_t kPosted = 0x20000412;

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
    // The tools inherit the bus path, and no library path that could find libpelmo.so.
    ::setenv("PELMO_BUS", bus_.path().c_str(), 1);
    ::unsetenv("LD_LIBRARY_PATH");
    hub_ = std::make_unique<pelmo::Hub>(pelmo::HubOptions{bus_.path()});
    hub_->SetPostObserver([this](std::uint32_t code, std::span<const std::uint8_t> block) {
      std::lock_guard lock(mutex_);
      posted_.push_back({code, {block.begin(), block.end()}});
    });
    std::string error;
    ASSERT_EQ(hub_->Start(&error), pelmo::HubStart::kStarted) << error;
  }
  void TearDown() override { hub_.reset(); }

  bool wait_for_clients(std::uint64_t clients) {
    return WaitUntil([&] { return hub_->Stats().clients == clients; });
  }
  std::vector<Posted> posted() {
    std::lock_guard lock(mutex_);
    return posted_;
  }

  pelmo::testing::TempBus bus_;
  std::unique_ptr<pelmo::Hub> hub_;
  std::mutex mutex_;
  std::vector<Posted> posted_;
};

TEST_F(tools_bus, dump_prints_accepted_frames_as_log_lines_and_stops_at_the_count) {
  ChildProcess dump({ZELK_DUMP_PATH, "-n", "4"});
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

  EXPECT_EQ(dump.Wait(), 0) << dump.Err();
  EXPECT_EQ(dump.Out(),
            "0      5ms      123 - 01 A0\n"
            "1   1000ms 00115599 - 00 22 99 00 00 11 33 33\n"
            "2  64535ms      7FF -\n"
            "3     10ms 1FFFFFFF - FF\n");
  EXPECT_EQ(dump.Err(), "");
  EXPECT_TRUE(wait_for_clients(0));
}

TEST_F(tools_bus, dump_filter_shows_one_identifier_with_deltas_between_shown_frames) {
  ChildProcess dump({ZELK_DUMP_PATH, "-f", "7ff", "-n", "2"});
  ASSERT_TRUE(wait_for_clients(1)) << dump.Err();
  hub_->Deliver(kDelivery, block_of({rec(0x7FF, false, {1}, 100), rec(0x123, false, {2}, 150)}));
  hub_->Deliver(kDelivery, block_of({rec(0x7FF, true, {3}, 4), rec(0x7FF, false, {4}, 30)}));
  EXPECT_EQ(dump.Wait(), 0) << dump.Err();
  EXPECT_EQ(dump.Out(),
            "0    100ms      7FF - 01\n"
            "1  65440ms 000007FF - 03\n");
}

TEST_F(tools_bus, dump_prints_each_frame_as_it_arrives_and_ends_cleanly_on_a_signal) {
  for (const int signal_number : {SIGINT, SIGTERM}) {
    ChildProcess dump({ZELK_DUMP_PATH});
    ASSERT_TRUE(wait_for_clients(1)) << dump.Err();
    const std::string first = "0      0ms      042 - 42\n";
    const std::string both = first + "1      7ms      043 -\n";
    hub_->Deliver(kDelivery, block_of({rec(0x42, false, {0x42}, 0)}));
    EXPECT_TRUE(WaitUntil([&] { return dump.Out() == first; })) << dump.Out();
    hub_->Deliver(kDelivery, block_of({rec(0x43, false, {}, 7)}));
    EXPECT_TRUE(WaitUntil([&] { return dump.Out() == both; })) << dump.Out();
    dump.Signal(signal_number);
    EXPECT_EQ(dump.Wait(), 0) << signal_number << dump.Err();
    EXPECT_TRUE(wait_for_clients(0));
  }
}

// A reader that stops reading fills the pipe and holds the dump in its write; SIGTERM still
// ends it, with status 0 as any SIGTERM does.
TEST_F(tools_bus, dump_ends_on_sigterm_while_its_reader_has_stopped) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
  ChildProcess dump({ZELK_DUMP_PATH}, {}, pipe_fds[1]);
  ::close(pipe_fds[1]);
  ASSERT_TRUE(wait_for_clients(1)) << dump.Err();
  // About 360 KB of lines, several times what the pipe holds.
  std::vector<frame::FrameRecord> records(64, rec(0x123, false, {0x01, 0xA0}, 5));
  std::vector<std::uint8_t> block;
  for (const auto& r : records) block.insert(block.end(), r.begin(), r.end());
  for (int i = 0; i < 200; ++i) hub_->Deliver(kDelivery, block);
  EXPECT_TRUE(WaitUntil([&] {
    int waiting = 0;
    return ::ioctl(pipe_fds[0], FIONREAD, &waiting) == 0 && waiting >= 32768;
  }));
  dump.Signal(SIGTERM);
  EXPECT_EQ(dump.Wait(), 0) << dump.Err();
  EXPECT_TRUE(wait_for_clients(0));
  ::close(pipe_fds[0]);
}

TEST_F(tools_bus, send_hands_every_encoded_frame_to_the_hub_before_exiting) {
  const std::vector<std::string> lines = {"123 45", "115599 00 22 99 00 00 11 33 33", "7FF",
                                          "0001 1 2 3 4 5 6 7 8 9 A"};
  // 20000 frames, several times what the library queues for the hub: the tool posts faster
  // than the hub reads, gets refusals, and must post those frames again. A short interval run
  // follows, to go through the pause between sends.
  std::vector<std::string> argv = {ZELK_SEND_PATH, "-r", "5000"};
  argv.insert(argv.end(), lines.begin(), lines.end());
  ChildProcess send(argv);
  ASSERT_EQ(send.Wait(), 0) << send.Err();
  EXPECT_EQ(send.Err(), "");
  ChildProcess paced({ZELK_SEND_PATH, "-r", "2", "-i", "30", lines[0], lines[1]});
  ASSERT_EQ(paced.Wait(), 0) << paced.Err();

  // Checked at once, without waiting: the tool exits only once the hub has them all.
  const std::vector<Posted> got = posted();
  const std::size_t first_run = 5000 * lines.size();
  ASSERT_EQ(got.size(), first_run + 4);
  for (std::size_t i = 0; i < got.size(); ++i) {
    const std::size_t line = i < first_run ? i % lines.size() : (i - first_run) % 2;
    const frame::FrameRecord want = frame::EncodeSendLine(lines[line]);
    ASSERT_EQ(got[i].code, kPosted) << i;
    ASSERT_EQ(got[i].bytes, std::vector<std::uint8_t>(want.begin(), want.end())) << i;
  }
  EXPECT_TRUE(wait_for_clients(0));
}

TEST_F(tools_bus, send_without_a_hub_or_with_a_stalled_one_fails_and_says_so) {
  hub_.reset();
  ChildProcess no_hub({ZELK_SEND_PATH, "7FF"});
  EXPECT_EQ(no_hub.Wait(), 1);
  EXPECT_NE(no_hub.Err().find("no bus hub"), std::string::npos) << no_hub.Err();

  pelmo::testing::StalledHub stalled(bus_.path());  // accepts, never reads
  ASSERT_TRUE(stalled.ok());
  ChildProcess send({ZELK_SEND_PATH, "-r", "10000", "7FF"});
  ASSERT_TRUE(stalled.Accept());
  EXPECT_EQ(send.Wait(), 1);
  EXPECT_NE(send.Err().find("the bus took no frame for 5 s"), std::string::npos) << send.Err();
  EXPECT_NE(send.Err().find(" of 10000 frames"), std::string::npos) << send.Err();
}

TEST_F(tools_bus, bad_options_exit_2_naming_the_bad_item_and_help_exits_0) {
  const struct {
    std::vector<std::string> argv;
    int status;
    const char* err;  // in stderr
    const char* out;  // stdout starts with it
  } cases[] = {
      {{ZELK_DUMP_PATH, "-f", "12345"}, 2, "'12345'", ""},
      {{ZELK_DUMP_PATH, "--follow"}, 2, "'--follow'", ""},
      {{ZELK_SEND_PATH}, 2, "LINE", ""},
      {{ZELK_DUMP_PATH, "--help"}, 0, "", "usage: zelk_dump"},
      {{ZELK_SEND_PATH, "--help"}, 0, "", "usage: zelk_send"},
  };
  for (const auto& c : cases) {
    ChildProcess tool(c.argv);
    EXPECT_EQ(tool.Wait(), c.status) << c.argv[1];
    EXPECT_NE(tool.Err().find(c.err), std::string::npos) << tool.Err();
    EXPECT_EQ(tool.Out().rfind(c.out, 0), 0u) << tool.Out();
    if (c.status != 0) {
      EXPECT_EQ(tool.Out(), "");
    }
  }
  EXPECT_EQ(hub_->Stats().clients, 0u);
}

// A copy of a tool away from the build folder has no libpelmo.so beside it; run from the build
// folder, which has one, it must not load that one either.
TEST_F(tools_bus, missing_bus_library_is_reported_and_the_current_directory_never_searched) {
  const fs::path build_bin = fs::path(ZELK_SEND_PATH).parent_path();
  ASSERT_TRUE(fs::exists(build_bin / "libpelmo.so"));
  const struct {
    const char* path;
    std::vector<std::string> args;
    std::string cwd;
  } cases[] = {{ZELK_DUMP_PATH, {}, ""},
               {ZELK_SEND_PATH, {"7FF"}, ""},
               {ZELK_SEND_PATH, {"7FF"}, build_bin.string()}};
  for (const auto& c : cases) {
    const fs::path copy = fs::path(bus_.dir()) / fs::path(c.path).filename();
    fs::copy_file(c.path, copy, fs::copy_options::overwrite_existing);
    std::vector<std::string> argv = {copy.string()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ChildProcess tool(argv, c.cwd);
    EXPECT_EQ(tool.Wait(), 1) << c.path << " in " << c.cwd;
    EXPECT_NE(tool.Err().find("cannot load the bus library libpelmo.so: libpelmo.so: cannot open"),
              std::string::npos)
        << tool.Err();
  }
  EXPECT_EQ(hub_->Stats().clients, 0u);
  EXPECT_TRUE(posted().empty());
}

// A root tool pointed at a bus end of another user stops at the check of the hub's credentials:
// it shows none of the frames that end forges, says why and exits 1.
TEST_F(tools_bus, tools_refuse_a_hub_of_another_user_and_show_nothing_it_forges) {
  if (const std::string why = pelmo::testing::OtherUserUnavailable(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  const std::string path = pelmo::testing::OtherUsersBusDir(bus_.dir());
  ASSERT_FALSE(path.empty());
  pelmo::testing::ForgingHub forger(path);
  ASSERT_TRUE(forger.ok());
  ::setenv("PELMO_BUS", path.c_str(), 1);
  for (const auto& argv :
       std::vector<std::vector<std::string>>{{ZELK_DUMP_PATH}, {ZELK_SEND_PATH, "7FF"}}) {
    ChildProcess tool(argv);
    EXPECT_EQ(tool.Wait(), 1) << argv[0] << tool.Out();
    EXPECT_EQ(tool.Out(), "");
    EXPECT_NE(tool.Err().find("cannot use the bus at " + path +
                              ": its hub runs as another user and is not trusted"),
              std::string::npos)
        << tool.Err();
  }
}

// Run as another user, the tools cannot reach this user's bus: the 0700 folder keeps them out,
// and with the folder and socket opened up the hub refuses them. Either way they say why and
// exit 1 instead of waiting for a hub.
TEST_F(tools_bus, tools_of_another_user_are_refused_and_say_why) {
  if (const std::string why = pelmo::testing::OtherUserUnavailable(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  const struct {
    mode_t dir_mode;
    mode_t socket_mode;
    const char* why;
  } cases[] = {
      {0700, 0700, "permission denied (it belongs to another user)"},
      {0711, 0777, "its hub refused this user (it serves another user)"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(::chmod(bus_.dir().c_str(), c.dir_mode), 0);
    ASSERT_EQ(::chmod(bus_.path().c_str(), c.socket_mode), 0);
    for (const auto& argv :
         std::vector<std::vector<std::string>>{{ZELK_DUMP_PATH}, {ZELK_SEND_PATH, "7FF"}}) {
      ChildProcess tool(AsOtherUser(argv));
      EXPECT_EQ(tool.Wait(), 1) << argv[0] << tool.Err();
      EXPECT_EQ(tool.Out(), "");
      EXPECT_NE(tool.Err().find("cannot use the bus at " + bus_.path() + ": " + c.why),
                std::string::npos)
          << tool.Err();
    }
  }
  EXPECT_EQ(hub_->Stats().clients, 0u);
  EXPECT_TRUE(posted().empty());
}

}  // namespace
