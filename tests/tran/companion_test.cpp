// The zelk_tran program, run as a child process against a private bus in a temporary directory.
#include <gtest/gtest.h>
#include <sys/un.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>

#include "frame/send_line.h"
#include "pelmo.h"
#include "tests/tran/test_support.h"
#include "tran/candump/candump_log.h"
#include "tran/core/frame_generator.h"

namespace tran {
namespace {

using namespace test;

const std::string kBinDir = ZELK_BIN_DIR;
const std::string kTran = kBinDir + "/zelk_tran";
const std::string kScriptDir = ZELK_TRAN_TEST_DIR;

bool BusAnswers(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

// "N <spaces>DELTAms <spaces>REST": the line number and REST exact, the delta follows the clock.
bool IsDumpLine(const std::string& line, int number, std::string_view rest) {
  int n = -1;
  int end = 0;
  unsigned delta = 0;
  if (std::sscanf(line.c_str(), "%d %ums%n", &n, &delta, &end) != 2 || end == 0) return false;
  const std::size_t at = line.find_first_not_of(' ', static_cast<std::size_t>(end));
  return n == number && at != std::string::npos && std::string_view(line).substr(at) == rest;
}

// The frames of a log file in order, without their times. Every line must be a whole frame
// line, the last one included.
std::vector<frame::FrameRecord> LoggedFrames(const std::string& path) {
  const std::string text = ReadFile(path);
  std::vector<frame::FrameRecord> frames;
  EXPECT_FALSE(text.empty()) << path;
  if (text.empty()) return frames;
  EXPECT_EQ(text.back(), '\n') << path << " ends in a cut line";
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    CandumpEntry entry;
    EXPECT_EQ(ParseCandumpLine(line, entry), CandumpLineKind::kFrame) << path << ": " << line;
    frames.push_back(entry.record);
  }
  return frames;
}

std::size_t LineCount(const std::string& path) {
  const std::string text = ReadFile(path);
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::uint64_t BusClients() {
  std::uint64_t clients = 0;
  pmGetInfo(PM_INFO_CLIENTS, &clients);
  return clients;
}

// A bus client: one libpelmo window whose notifications are queued for the test thread.
class BusClient {
 public:
  BusClient() { registered_ = pmRegister(&window_, PM_CODE_ROUTE, "tran_test") == 1; }
  ~BusClient() {
    if (registered_) pmUnregister(&window_);
  }
  bool Post(const frame::FrameRecord& record) {
    return pmPostData(&window_, 0x20000412, record.data(), 16) == 1;
  }
  // The records of delivered frame blocks (bit 28, kind 0x12), without their timestamps, once
  // `count` have arrived or the deadline has passed.
  std::vector<frame::FrameRecord> Collect(std::size_t count) {
    std::vector<frame::FrameRecord> all;
    WaitFor([&] {
      std::vector<std::pair<std::uint32_t, std::uint32_t>> pending;
      {
        std::lock_guard lock(mutex_);
        pending.swap(pending_);
      }
      for (const auto& [code, handle] : pending) {
        if ((code & 0x100004FF) != 0x10000412) {
          ++foreign_;
          continue;
        }
        std::uint32_t size = 0;
        const auto* block = static_cast<const std::uint8_t*>(pmGetp(handle, &size));
        for (std::uint32_t at = 0; block && at + 16 <= size; at += 16) {
          frame::FrameRecord record;
          std::memcpy(record.data(), block + at, 16);
          all.push_back(WithoutStamp(record));
        }
      }
      return all.size() >= count;
    });
    return all;
  }
  // Notifications of blocks that are not frame deliveries, seen by Collect.
  std::size_t Foreign() const { return foreign_; }

 private:
  static void OnPost(void* context, std::uint32_t message, std::uintptr_t wparam,
                     std::intptr_t lparam) {
    if (message != PM_WM_BUS_NOTIFY) return;
    auto* self = static_cast<BusClient*>(context);
    std::lock_guard lock(self->mutex_);
    self->pending_.emplace_back(static_cast<std::uint32_t>(wparam),
                                static_cast<std::uint32_t>(lparam & 0xFFFFFFFF));
  }

  pm_window window_{&BusClient::OnPost, this};
  bool registered_ = false;
  std::size_t foreign_ = 0;
  std::mutex mutex_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pending_;
};

class zelk_tran : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = dir_ / "bus";
    env_ = {"PELMO_BUS=" + bus_, "XDG_CONFIG_HOME=" + (dir_ / "cfg"), "HOME=" + (dir_ / "")};
    ::setenv("PELMO_BUS", bus_.c_str(), 1);
  }
  std::unique_ptr<Child> Start(std::vector<std::string> args, const std::string& err = "err.txt") {
    return std::make_unique<Child>(kTran, args, env_, dir_ / err, dir_ / "out.txt");
  }
  std::unique_ptr<Child> StartServing(std::vector<std::string> args,
                                      const std::string& err = "err.txt") {
    args.push_back("--foreground");
    auto child = Start(args, err);
    EXPECT_TRUE(WaitFor([&] { return BusAnswers(bus_); })) << Err(err);
    return child;
  }
  std::string Err(const std::string& name = "err.txt") { return ReadFile(dir_ / name); }
  // The port of the socketcand server the companion announced on 127.0.0.1; empty if none.
  std::string AnnouncedPort(const std::string& err = "err.txt") {
    const std::string announce = "socketcand server on 127.0.0.1:";
    std::string port;
    WaitFor([&] {
      const std::string text = Err(err);
      const std::size_t at = text.find(announce);
      if (at == std::string::npos || text.find('\n', at) == std::string::npos) return false;
      port = text.substr(at + announce.size(), text.find('\n', at) - at - announce.size());
      return true;
    });
    return port;
  }
  // Runs a python-can script body under Debian's /usr/bin/python3 (not the first python3 on
  // PATH), its output in py.out and py.err. Status 77: python3-can is not installed.
  std::optional<int> RunPythonCan(const std::string& body, const std::string& arg) {
    std::ofstream(dir_ / "script.py") << "import sys\n"
                                         "try:\n"
                                         "    import can\n"
                                         "except ImportError:\n"
                                         "    sys.exit(77)\n"
                                      << body;
    Child python("/usr/bin/python3", {dir_ / "script.py", arg}, {}, dir_ / "py.err",
                 dir_ / "py.out");
    return python.Wait();
  }

  TempDir dir_;
  std::string bus_;
  std::vector<std::string> env_;
};

TEST_F(zelk_tran, answers_bad_options_with_2_an_unreadable_replay_with_1_and_its_version_with_0) {
  struct Case {
    std::vector<std::string> args;
    const char* conf;
    int status;
    const char* output;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--bogus"},
       nullptr,
       2,
       "err.txt",
       "zelk_tran: unknown option '--bogus'\nTry 'zelk_tran --help'.\n"},
      {{},
       "# settings\nlisten 29536\nbitrate = 500000\n",
       2,
       "err.txt",
       "zelk_tran.conf: line 3: unknown setting 'bitrate'\n"},
      {{"--replay", "missing.log", "--foreground"},
       nullptr,
       1,
       "err.txt",
       "zelk_tran: cannot replay missing.log: No such file or directory\n"},
      {{"--replay", "/", "--foreground"},
       nullptr,
       1,
       "err.txt",
       "zelk_tran: cannot replay /: not a regular file\n"},
      {{"--replay", "a.log", "--source", "virtual"},
       nullptr,
       2,
       "err.txt",
       "zelk_tran: --replay and --source exclude each other (a replay is the source)\n"},
      {{"--log", "bus.log", "--log-max-size", "1k"},
       nullptr,
       2,
       "err.txt",
       "zelk_tran: bad size '1k' for log-max-size (bytes, or with a suffix k, M or G; at least "
       "4k)\n"},
      {{"--version"}, nullptr, 0, "out.txt", "zelk_tran 1.0.0.1\n"},
      {{"--status"}, nullptr, 1, "err.txt", "zelk_tran: no companion serves " + bus_ + "\n"},
      {{"--json"}, nullptr, 2, "err.txt", "zelk_tran: --json needs --status\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const std::string conf = dir_ / "cfg/zelk/zelk_tran.conf";
    std::filesystem::create_directories(dir_ / "cfg/zelk");
    std::filesystem::remove(conf);
    if (c.conf) std::ofstream(conf) << c.conf;
    EXPECT_EQ(Start(c.args)->Wait(), c.status);
    EXPECT_NE(Err(c.output).find(c.message), std::string::npos) << Err(c.output);
  }
}

// The posts themselves go to the companion alone: no client is handed a block it would never
// fetch.
TEST_F(zelk_tran, echoes_a_posted_frame_to_every_client_including_the_poster) {
  auto tran = StartServing({});
  BusClient a, b, c;
  ASSERT_TRUE(WaitFor([] { return BusClients() >= 3; }));
  const std::vector<frame::FrameRecord> sent = {
      frame::EncodeSendLine("115599 00 22 99 00 00 11 33 33"), frame::EncodeSendLine("7FF")};
  ASSERT_TRUE(a.Post(sent[0]));
  ASSERT_TRUE(a.Post(sent[1]));
  for (BusClient* client : {&a, &b, &c}) EXPECT_EQ(client->Collect(2), sent);
  // A late stray post would show up in a short wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (BusClient* client : {&a, &b, &c}) {
    EXPECT_TRUE(client->Collect(0).empty());
    EXPECT_EQ(client->Foreign(), 0u);
  }
  tran->Signal(SIGTERM);
  EXPECT_EQ(tran->Wait(), 0);
}

// Lines of `zelk_tran --status` (or the JSON with --json), asked while the companion runs.
std::vector<std::string> StatusLines(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The status while idle, and with a bus client that sent frames: every line a user reads.
TEST_F(zelk_tran, tells_its_status_over_the_bus) {
  auto tran = StartServing({});
  const auto status = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "--status");
    EXPECT_EQ(Start(args, "status.err")->Wait(), 0) << Err("status.err");
    return ReadFile(dir_ / "out.txt");
  };
  auto lines = StatusLines(status({}));
  ASSERT_EQ(lines.size(), 9u) << status({});
  EXPECT_EQ(lines[0].rfind("zelk_tran 1.0.0.1, pid ", 0), 0u) << lines[0];
  const std::vector<std::string> idle = {
      "bus:         " + bus_,
      "source:      virtual, up",
      "bus load:    0 frames/s, peak 0 (the bitrate is not known)",
      "frames:      0 received, 0 sent, 0 held for CAN, 0 not transmitted",
      "drops:       0 in the CAN receive queue, 0 blocks for bus clients, 0 frames for "
      "socketcand clients, 0 not logged",
      "bus clients: 0",
      "socketcand:  off",
      "log:         off"};
  EXPECT_EQ(std::vector(lines.begin() + 1, lines.end()), idle);

  BusClient client;
  ASSERT_TRUE(WaitFor([] { return BusClients() == 1; }));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(client.Post(frame::EncodeSendLine("123 01")));
  ASSERT_EQ(client.Collect(5).size(), 5u);
  // The snapshot is a quarter second old at most.
  ASSERT_TRUE(WaitFor([&] {
    lines = StatusLines(status({}));
    return lines.size() > 4 &&
           lines[4] == "frames:      0 received, 5 sent, 0 held for CAN, 0 not transmitted";
  })) << status({});
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[6], "bus clients: 1");
  EXPECT_EQ(lines[7],
            "  tran_test (pid " + std::to_string(::getpid()) + "): backlog 0 blocks, 0 dropped");
  std::ofstream(dir_ / "status.json") << status({"--json"});
  Child check("/usr/bin/python3",
              {"-c",
               "import json, sys; d = json.load(open(sys.argv[1])); "
               "assert d['frames']['sent'] == 5 and d['source']['name'] == 'virtual', d; "
               "assert [c['name'] for c in d['clients']] == ['tran_test'], d",
               dir_ / "status.json"},
              {}, dir_ / "py.err", dir_ / "py.out");
  EXPECT_EQ(check.Wait(), 0) << ReadFile(dir_ / "py.err");
  tran->Signal(SIGTERM);
  EXPECT_EQ(tran->Wait(), 0);
}

// A changed settings file is applied while a monitor-like client stays registered: by SIGHUP
// (the settings folder did not exist at start), then by itself once saved; a file with an
// error changes nothing and names its line.
TEST_F(zelk_tran, applies_a_changed_settings_file_while_clients_stay) {
  auto tran = StartServing({"--idle-exit", "0"});
  BusClient client;
  ASSERT_TRUE(WaitFor([] { return BusClients() == 1; }));
  const std::string conf = dir_ / "cfg/zelk/zelk_tran.conf";
  const auto save = [&](const std::string& text) {
    std::ofstream(conf + ".new") << text;
    std::filesystem::rename(conf + ".new", conf);  // as editors save
  };
  const auto said = [&](const std::string& line) {
    return WaitFor([&] { return Err().find(line + "\n") != std::string::npos; });
  };
  std::filesystem::create_directories(dir_ / "cfg/zelk");
  save("generate = 500\n");
  tran->Signal(SIGHUP);
  EXPECT_TRUE(said("zelk_tran: settings applied: now source virtual, generating 500 frames/s"))
      << Err();
  EXPECT_GE(client.Collect(50).size(), 50u);

  save("# a typo\ngenerate = fast\n");
  EXPECT_TRUE(said("zelk_tran: settings not applied: " + conf +
                   ": line 2: bad rate 'fast' for generate (0 to 10000000 frames/s)"))
      << Err();
  client.Collect(0);
  EXPECT_GE(client.Collect(50).size(), 50u) << "the generator stopped after a bad file";

  save("# back to the quiet bus\n");
  EXPECT_TRUE(said("zelk_tran: settings applied: now source virtual")) << Err();
  EXPECT_EQ(BusClients(), 1u);
  tran->Signal(SIGTERM);
  EXPECT_EQ(tran->Wait(), 0);
}

TEST_F(zelk_tran, delivers_every_generated_frame) {
  auto tran = StartServing({"--generate", "50000"});
  BusClient client;
  const auto got = client.Collect(50000);
  ASSERT_GE(got.size(), 50000u);
  // The generator is deterministic: find the first frame received in its sequence and check
  // that every later one follows without a gap.
  FrameGenerator reference;
  std::size_t skipped = 0;
  while (reference.Next() != got[0]) ASSERT_LT(++skipped, 10'000'000u);
  for (std::size_t i = 1; i < got.size(); ++i) {
    ASSERT_EQ(got[i], reference.Next()) << "frame " << i << " lost or altered";
  }
  tran->Signal(SIGINT);
  EXPECT_EQ(tran->Wait(), 0);
}

// logrotate's way: rename the log, then SIGHUP. The companion goes on; the renamed file and
// the new one hold every generated frame from the first, in order and once.
TEST_F(zelk_tran, reopens_its_log_on_sighup_losing_no_frame) {
  const std::string log = dir_ / "bus.log";
  auto tran = StartServing({"--generate", "2000", "--log", log});
  ASSERT_TRUE(WaitFor([&] { return LineCount(log) >= 200; }));
  std::filesystem::rename(log, log + ".1");
  // Until the signal, frames go on into the renamed file.
  const std::size_t at_rename = LineCount(log + ".1");
  ASSERT_TRUE(WaitFor([&] { return LineCount(log + ".1") >= at_rename + 100; }));
  tran->Signal(SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return LineCount(log) >= 200; })) << Err();
  tran->Signal(SIGTERM);
  ASSERT_EQ(tran->Wait(), 0);

  std::vector<frame::FrameRecord> frames = LoggedFrames(log + ".1");
  const std::vector<frame::FrameRecord> after = LoggedFrames(log);
  frames.insert(frames.end(), after.begin(), after.end());
  FrameGenerator reference;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(frames[i], reference.Next()) << "frame " << i << " lost, doubled or altered";
  }
}

// --log-max-size 8k --log-keep 3: once files were dropped, three rotated files and the current
// one remain, each within the limit, in whole lines, together consecutive generated frames.
// (At 1000 frames/s a batch, up to 100 ms of frames after a stall, stays far below 8 KiB.)
TEST_F(zelk_tran, rotates_its_log_by_size_keeping_consecutive_frames) {
  const std::string log = dir_ / "bus.log";
  auto tran =
      StartServing({"--generate", "1000", "--log", log, "--log-max-size", "8k", "--log-keep", "3"});
  const frame::FrameRecord first = FrameGenerator().Next();
  ASSERT_TRUE(WaitFor(
      [&] {
        CandumpEntry entry;
        const std::string text = ReadFile(log + ".3");
        return ParseCandumpLine(text.substr(0, text.find('\n')), entry) ==
                   CandumpLineKind::kFrame &&
               entry.record != first;
      },
      30s))
      << "no rotated file was dropped";
  tran->Signal(SIGTERM);
  ASSERT_EQ(tran->Wait(), 0);

  EXPECT_FALSE(std::filesystem::exists(log + ".4"));
  std::vector<frame::FrameRecord> frames;
  for (const std::string& name : {log + ".3", log + ".2", log + ".1", log}) {
    EXPECT_LE(std::filesystem::file_size(name), 8192u) << name;
    const std::vector<frame::FrameRecord> in_file = LoggedFrames(name);
    frames.insert(frames.end(), in_file.begin(), in_file.end());
  }
  ASSERT_FALSE(frames.empty());
  FrameGenerator reference;
  std::size_t dropped = 0;
  while (reference.Next() != frames[0]) ASSERT_LT(++dropped, 1'000'000u);
  for (std::size_t i = 1; i < frames.size(); ++i) {
    ASSERT_EQ(frames[i], reference.Next()) << "frame " << i << " lost, doubled or altered";
  }
}

TEST_F(zelk_tran, logs_frames_that_python_can_reads_back) {
  const std::string log = dir_ / "bus.log";
  auto tran = StartServing({"--log", log});
  BusClient client;
  ASSERT_TRUE(WaitFor([] { return BusClients() >= 1; }));
  const char* lines[] = {"123 11 22", "1ABCDEF0", "7FF DE AD BE EF 01 02 03 04", "0005 01"};
  for (const char* line : lines) ASSERT_TRUE(client.Post(frame::EncodeSendLine(line)));
  ASSERT_EQ(client.Collect(4).size(), 4u);  // echoed, so logged
  tran->Signal(SIGTERM);
  ASSERT_EQ(tran->Wait(), 0);
  const auto status = RunPythonCan(
      "for m in can.CanutilsLogReader(sys.argv[1]):\n"
      "    print(m.channel, f'{m.arbitration_id:X}', int(m.is_extended_id), "
      "m.data.hex().upper())\n",
      log);
  if (status == 77) GTEST_SKIP() << "python3-can is not installed";
  ASSERT_EQ(status, 0) << ReadFile(dir_ / "py.err");
  EXPECT_EQ(ReadFile(dir_ / "py.out"),
            "vcan0 123 0 1122\n"
            "vcan0 1ABCDEF0 1 \n"
            "vcan0 7FF 0 DEADBEEF01020304\n"
            "vcan0 5 1 01\n");
}

// python-can's own writer makes the log (with its direction suffixes and the frame kinds the
// bus does not carry); the replay puts exactly its CAN frames on the bus, once a client is there.
TEST_F(zelk_tran, replays_a_log_written_by_python_can_exactly) {
  const std::string log = dir_ / "python.log";
  const auto status = RunPythonCan(
      "t = 1700000000.0\n"
      "M = can.Message\n"
      "messages = [\n"
      "    M(timestamp=t, arbitration_id=0x123, is_extended_id=False, data=[0x11, 0x22]),\n"
      "    M(timestamp=t + 0.001, arbitration_id=0x124, is_fd=True, data=bytes(12)),\n"
      "    M(timestamp=t + 0.002, arbitration_id=0x125, is_remote_frame=True, dlc=2),\n"
      "    M(timestamp=t + 0.003, arbitration_id=0x1ABCDEF0, data=[], is_rx=False),\n"
      "    M(timestamp=t + 0.004, is_error_frame=True),\n"
      "    M(timestamp=t + 0.005, arbitration_id=0x7FF, is_extended_id=False,\n"
      "      data=[0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4], channel=1),\n"
      "    M(timestamp=t + 0.006, arbitration_id=0x5, data=[1]),\n"
      "]\n"
      "with can.CanutilsLogWriter(sys.argv[1]) as writer:\n"
      "    for m in messages:\n"
      "        writer.on_message_received(m)\n",
      log);
  if (status == 77) GTEST_SKIP() << "python3-can is not installed";
  ASSERT_EQ(status, 0) << ReadFile(dir_ / "py.err");

  auto tran = StartServing({"--replay", log, "--speed", "0"});
  BusClient client;
  const std::vector<frame::FrameRecord> expected = {
      frame::EncodeSendLine("123 11 22"), frame::EncodeSendLine("1ABCDEF0"),
      frame::EncodeSendLine("7FF DE AD BE EF 01 02 03 04"), frame::EncodeSendLine("0005 01")};
  EXPECT_EQ(client.Collect(expected.size()), expected) << ReadFile(log);
  const std::string report =
      "end of file; 4 frames played, 3 lines skipped (first: line 2, "
      "CAN FD frame); the bus stays up\n";
  EXPECT_TRUE(WaitFor([&] { return Err().find(report) != std::string::npos; })) << Err();
  tran->Signal(SIGTERM);
  EXPECT_EQ(tran->Wait(), 0);
}

// A second start with the same settings steps aside (0); one with other settings says what
// serves and how to switch (1); --restart switches, --stop ends it, and says so when none runs.
TEST_F(zelk_tran, a_second_companion_on_the_same_bus_steps_aside_or_says_how_to_switch) {
  auto first = StartServing({});
  auto second = Start({"--foreground"}, "second.txt");
  EXPECT_EQ(second->Wait(), 0);
  EXPECT_EQ(Err("second.txt"), "zelk_tran: a companion already serves " + bus_ + "\n");
  // Also when started as the monitor starts it (detaching).
  auto third = Start({}, "third.txt");
  EXPECT_EQ(third->Wait(), 0);
  EXPECT_NE(Err("third.txt").find("already serves"), std::string::npos);
  auto differing = Start({"--generate", "500"}, "differing.txt");
  EXPECT_EQ(differing->Wait(), 1);
  EXPECT_EQ(Err("differing.txt"),
            "zelk_tran: a companion already serves " + bus_ +
                " with source virtual; this start asked for source virtual, generating 500 "
                "frames/s (run zelk_tran --restart, or send it SIGHUP after saving the "
                "settings)\n");
  EXPECT_FALSE(first->Wait(0ms));
  EXPECT_TRUE(BusAnswers(bus_));

  auto restart = Start({"--restart", "--generate", "500", "--idle-exit", "0"}, "restart.txt");
  EXPECT_EQ(restart->Wait(), 0) << Err("restart.txt");
  EXPECT_EQ(first->Wait(), 0);  // the first one ended
  BusClient client;
  EXPECT_FALSE(client.Collect(10).empty()) << "the restarted companion generates no frames";
  EXPECT_EQ(Start({"--stop"}, "stop.txt")->Wait(), 0) << Err("stop.txt");
  EXPECT_FALSE(BusAnswers(bus_));
  EXPECT_EQ(Start({"--stop"}, "stop.txt")->Wait(), 1);
  EXPECT_EQ(Err("stop.txt"), "zelk_tran: no companion serves " + bus_ + "\n");
}

TEST_F(zelk_tran, detaches_and_exits_when_idle_but_not_while_a_client_is_registered) {
  // The launcher returns once the background process serves the bus.
  EXPECT_EQ(Start({"--idle-exit", "1"})->Wait(), 0);
  ASSERT_TRUE(BusAnswers(bus_));
  {
    BusClient client;
    ASSERT_TRUE(WaitFor([] { return BusClients() >= 1; }));
    std::this_thread::sleep_for(2500ms);  // well past the idle limit, with a client
    EXPECT_TRUE(BusAnswers(bus_)) << "exited with a client registered";
  }
  EXPECT_TRUE(WaitFor([&] { return !BusAnswers(bus_); })) << "the background companion lingers";
}

TEST_F(zelk_tran, joins_python_can_socketcand_clients_to_the_bus) {
  auto tran = StartServing({"--listen", "0"});
  const std::string port_text = AnnouncedPort();
  ASSERT_FALSE(port_text.empty()) << Err();
  BusClient client;
  Child python("/usr/bin/python3", {kScriptDir + "/socketcand_python_peer.py", port_text, "500"},
               {}, dir_ / "py.err", dir_ / "py.out");
  const auto status = python.Wait(30s);
  if (status == 77) GTEST_SKIP() << "python3-can is not installed";
  ASSERT_EQ(status, 0) << ReadFile(dir_ / "py.err");
  // The frames the python client sent also reached the bus clients.
  const auto got = client.Collect(503);
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(got[0], frame::EncodeSendLine("123 11 22"));
  EXPECT_EQ(got[1], frame::EncodeSendLine("1ABCDEF DE AD BE EF 01 02 03 04"));
  EXPECT_EQ(got[2], frame::EncodeSendLine("7FF"));
}

// A socketcand client of user nobody, run by setpriv, that sends its commands at once and prints
// what it read until the replies to open and rawmode, or until the server closed.
const char* const kNobodyPeer = R"(
import socket, sys
got = b""
try:
    s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
    s.sendall(b"< open vcan0 >< rawmode >< send 321 1 AA >")
    while got.count(b"< ok >") < 2:
        chunk = s.recv(4096)
        if not chunk:
            break
        got += chunk
except (ConnectionResetError, BrokenPipeError):
    pass
sys.stdout.write(got.decode())
)";

// On loopback the companion serves socketcand clients of its own user only: nobody's is closed
// before "< hi >" and its frame never reaches the bus, reported once; --listen-any-user serves it.
TEST_F(zelk_tran, serves_socketcand_clients_of_other_users_only_when_told_to) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as user nobody (uid 65534)";
  const std::vector<std::string> as_nobody = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                              "/usr/bin/python3", "-c"};
  {
    std::vector<std::string> probe = as_nobody;
    probe.insert(probe.end(), {"import os; print(os.geteuid())"});
    Child check("/usr/bin/setpriv", probe, {}, dir_ / "probe.err", dir_ / "probe.out");
    if (check.Wait() != 0 || ReadFile(dir_ / "probe.out") != "65534\n") {
      GTEST_SKIP() << "setpriv cannot run python3 as nobody: " << ReadFile(dir_ / "probe.err");
    }
  }
  struct Case {
    bool any_user;
    const char* nobody_reads;  // what nobody's client gets before the connection ends
  };
  const Case cases[] = {{false, ""}, {true, "< hi >< ok >< ok >"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.any_user ? "--listen-any-user" : "own user only");
    const std::string err = c.any_user ? "any.err" : "own.err";
    std::vector<std::string> args = {"--listen", "0"};
    if (c.any_user) args.push_back("--listen-any-user");
    auto tran = StartServing(args, err);
    const std::string port = AnnouncedPort(err);
    ASSERT_FALSE(port.empty()) << Err(err);
    BusClient bus_client;
    ASSERT_TRUE(WaitFor([] { return BusClients() >= 1; }));
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::vector<std::string> peer = as_nobody;
      peer.insert(peer.end(), {kNobodyPeer, port});
      Child nobody("/usr/bin/setpriv", peer, {}, dir_ / "py.err", dir_ / "py.out");
      ASSERT_EQ(nobody.Wait(), 0) << ReadFile(dir_ / "py.err");
      EXPECT_EQ(ReadFile(dir_ / "py.out"), c.nobody_reads);
    }
    // Our own client is served; its frame follows nobody's only where nobody was served.
    TcpPeer own = TcpPeer::Connect(static_cast<std::uint16_t>(std::stoi(port)));
    EXPECT_EQ(own.RecvOnce(), "< hi >");
    ASSERT_TRUE(own.Send("< open vcan0 >< send 0AA 1 01 >"));
    std::vector<frame::FrameRecord> expected;
    if (c.any_user) expected.assign(2, frame::EncodeSendLine("321 AA"));
    expected.push_back(frame::EncodeSendLine("0AA 01"));
    EXPECT_EQ(bus_client.Collect(expected.size()), expected);

    const std::string refused =
        "zelk_tran: refused a socketcand client of another user (uid 65534) on 127.0.0.1:" + port +
        "\n";
    const std::string text = Err(err);
    const std::size_t first = text.find(refused);
    if (c.any_user) {
      EXPECT_EQ(first, std::string::npos) << text;
      EXPECT_NE(text.find("socketcand server on 127.0.0.1:" + port + " serves every local user"),
                std::string::npos)
          << text;
    } else {
      ASSERT_NE(first, std::string::npos) << text;
      EXPECT_EQ(text.find(refused, first + 1), std::string::npos) << "reported twice: " << text;
    }
    tran->Signal(SIGTERM);
    EXPECT_EQ(tran->Wait(), 0);
  }
}

TEST_F(zelk_tran, carries_zelk_send_lines_to_zelk_dump) {
  const std::string send = kBinDir + "/zelk_send";
  const std::string dump = kBinDir + "/zelk_dump";
  if (!std::filesystem::exists(send) || !std::filesystem::exists(dump)) {
    GTEST_SKIP() << "zelk_send or zelk_dump is not built";
  }
  auto tran = StartServing({});
  BusClient watcher;
  ASSERT_TRUE(WaitFor([] { return BusClients() >= 1; }));
  Child dumper(dump, {"-n", "3"}, env_, dir_ / "dump.err", dir_ / "dump.out");
  ASSERT_TRUE(WaitFor([] { return BusClients() >= 2; }));
  Child sender(send, {"123 01 A0", "115599 00 22 99 00 00 11 33 33", "7FF"}, env_,
               dir_ / "send.err");
  EXPECT_EQ(sender.Wait(), 0) << ReadFile(dir_ / "send.err");
  EXPECT_EQ(dumper.Wait(), 0) << ReadFile(dir_ / "dump.err");
  std::istringstream out(ReadFile(dir_ / "dump.out"));
  std::vector<std::string> lines;
  for (std::string l; std::getline(out, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 3u) << ReadFile(dir_ / "dump.out");
  EXPECT_TRUE(IsDumpLine(lines[0], 0, "123 - 01 A0")) << lines[0];
  EXPECT_TRUE(IsDumpLine(lines[1], 1, "00115599 - 00 22 99 00 00 11 33 33")) << lines[1];
  EXPECT_TRUE(IsDumpLine(lines[2], 2, "7FF -")) << lines[2];
}

}  // namespace
}  // namespace tran
