// One test that every CAN source runs: frames the bridge transmits through the source reach
// the medium and are echoed to the bus, and frames from the medium reach the bus, exactly.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "frame/can_frame_conv.h"
#include "tests/tran/test_support.h"
#include "tran/can/socketcan_source.h"
#include "tran/can/virtual_source.h"
#include "tran/candump/replay_source.h"
#include "tran/core/bridge.h"
#include "tran/socketcand/socketcand_client_source.h"
#include "tran/socketcand/socketcand_server.h"

namespace tran {
namespace {

using namespace test;

std::vector<frame::FrameRecord> Table() {
  std::vector<frame::FrameRecord> out;
  const std::uint8_t data[8] = {0x00, 0x22, 0x99, 0x00, 0x00, 0x11, 0x33, 0x33};
  for (std::uint8_t len = 0; len <= 8; ++len) {
    out.push_back(frame::MakeRecord(0x100 + len, false, data, len, 0));
    out.push_back(frame::MakeRecord(0x115599 + len, true, data, len, 0));
  }
  out.push_back(frame::MakeRecord(0x7FF, false, data, 1, 0));
  out.push_back(frame::MakeRecord(0x1FFFFFFF, true, data, 8, 0));
  return out;
}

// The far side of a source: sees what the source transmits and can inject frames.
class Medium {
 public:
  virtual ~Medium() = default;
  virtual std::vector<frame::FrameRecord> Seen() = 0;
  virtual void Inject(const std::vector<frame::FrameRecord>& records) = 0;
};

// socketcand: the companion's own server is the daemon the client source talks to.
class SocketcandMedium : public Medium {
 public:
  explicit SocketcandMedium(LoopThread& loop) : loop_(loop) {
    SocketcandServerOptions options;
    options.rawmode_settle = 0ms;
    server_.emplace(loop.loop(), options,
                    [this](std::span<const frame::FrameRecord> records, std::uint64_t) {
                      std::lock_guard lock(mutex_);
                      seen_.insert(seen_.end(), records.begin(), records.end());
                    });
    loop.RunOnLoop([this] { return server_->Start(nullptr); });
  }
  ~SocketcandMedium() override {
    loop_.RunOnLoop([this] { server_->Stop(); });
  }
  std::uint16_t Port() const { return server_->Port(); }
  std::vector<frame::FrameRecord> Seen() override {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  void Inject(const std::vector<frame::FrameRecord>& records) override {
    loop_.RunOnLoop([&] { server_->Broadcast(records, timeval{1, 0}, 0); });
  }

 private:
  LoopThread& loop_;
  std::optional<SocketcandServer> server_;
  std::mutex mutex_;
  std::vector<frame::FrameRecord> seen_;
};

// socketcan: a second raw socket on the same interface.
class SocketcanMedium : public Medium {
 public:
  explicit SocketcanMedium(int fd) : fd_(fd) {}
  ~SocketcanMedium() override { ::close(fd_); }
  std::vector<frame::FrameRecord> Seen() override {
    can_frame in;
    while (::recv(fd_, &in, sizeof in, MSG_DONTWAIT) == sizeof in) {
      if (auto record = frame::FromCanFrame(in, 0)) seen_.push_back(*record);
    }
    return seen_;
  }
  void Inject(const std::vector<frame::FrameRecord>& records) override {
    for (const auto& record : records) {
      const can_frame out = frame::ToCanFrame(record);
      ASSERT_EQ(::write(fd_, &out, sizeof out), static_cast<ssize_t>(sizeof out));
    }
  }

 private:
  int fd_;
  std::vector<frame::FrameRecord> seen_;
};

// A raw socket on vcan0, or a reason to skip.
int OpenVcan(std::string* why) {
  const int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
  ifreq request{};
  std::strcpy(request.ifr_name, "vcan0");
  if (fd < 0 || ::ioctl(fd, SIOCGIFINDEX, &request) < 0) {
    *why =
        fd < 0 ? std::string("no SocketCAN here: ") + std::strerror(errno) : "no vcan0 interface";
    if (fd >= 0) ::close(fd);
    return -1;
  }
  sockaddr_can address{};
  address.can_family = AF_CAN;
  address.can_ifindex = request.ifr_ifindex;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  return fd;
}

class source_back_to_back : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const std::string kind = GetParam();
    if (kind == "virtual") {
      source_ = MakeVirtualSource();
    } else if (kind == "replay") {
      // A replay is a virtual bus with a recording on it; the recording stays silent here
      // (the replay's own tests play it).
      std::ofstream(dir_ / "silent.log") << "(1.000000) vcan0 123#11\n";
      ReplayOptions options;
      options.path = dir_ / "silent.log";
      options.ready = [] { return false; };
      source_ = MakeReplaySource(options);
    } else if (kind == "socketcan") {
      std::string why;
      const int fd = OpenVcan(&why);
      // Inside the kernel harness vcan0 is promised, so its absence is a fault there.
      if (fd < 0 && std::getenv("ZELK_IN_UML")) FAIL() << why;
      if (fd < 0) GTEST_SKIP() << why;
      medium_ = std::make_unique<SocketcanMedium>(fd);
      source_ = MakeSocketcanSource("vcan0");
    } else {
      auto medium = std::make_unique<SocketcandMedium>(loop_);
      SocketcandClientOptions options;
      options.host = "127.0.0.1";
      options.port = medium->Port();
      options.channel = "vcan0";
      options.min_backoff = 10ms;
      medium_ = std::move(medium);
      source_ = MakeSocketcandClientSource(options);
    }
    bridge_.emplace(
        *source_,
        [this](std::uint32_t code, std::span<const std::uint8_t> block) {
          std::lock_guard lock(mutex_);
          if (code != kFrameDeliveryCode) ++bad_codes_;
          for (std::size_t at = 0; at + 16 <= block.size(); at += 16) {
            frame::FrameRecord record;
            std::memcpy(record.data(), block.data() + at, 16);
            delivered_.push_back(WithoutStamp(record));
          }
        },
        nullptr, nullptr);
    ASSERT_TRUE(loop_.RunOnLoop([this] {
      return source_->Start(
          loop_.loop(),
          [this](std::span<const frame::FrameRecord> records, std::span<const FrameTime> times) {
            bridge_->Received(records, times);
          },
          nullptr);
    }));
  }
  void TearDown() override {
    if (source_) loop_.RunOnLoop([this] { source_->Stop(); });
    std::lock_guard lock(mutex_);
    EXPECT_EQ(bad_codes_, 0) << "blocks delivered with another code than the frame delivery";
  }
  std::vector<frame::FrameRecord> Delivered() {
    std::lock_guard lock(mutex_);
    return delivered_;
  }
  std::size_t Transmit(const std::vector<frame::FrameRecord>& records) {
    return loop_.RunOnLoop([&] { return bridge_->Transmit(records); });
  }

  TempDir dir_;
  LoopThread loop_;
  std::unique_ptr<Medium> medium_;
  std::unique_ptr<CanSource> source_;
  std::optional<Bridge> bridge_;
  std::mutex mutex_;
  int bad_codes_ = 0;  // guarded by mutex_
  std::vector<frame::FrameRecord> delivered_;
};

TEST_P(source_back_to_back, frames_pass_both_ways_exactly) {
  const auto table = Table();
  // A link-based source accepts frames once its link is up.
  ASSERT_TRUE(WaitFor([&] { return Transmit({table[0]}) == 1; }));
  ASSERT_EQ(Transmit({table.begin() + 1, table.end()}), table.size() - 1);
  // What the source accepted is echoed to the bus, as SocketCAN's local echo does (a
  // SocketCAN interface once it has sent it).
  ASSERT_TRUE(WaitFor([&] { return Delivered().size() >= table.size(); }));
  EXPECT_EQ(Delivered(), table);
  if (!medium_) return;  // the virtual bus (and a replay) has no far side
  ASSERT_TRUE(WaitFor([&] { return medium_->Seen().size() >= table.size(); }));
  EXPECT_EQ(medium_->Seen(), table);

  medium_->Inject(table);
  ASSERT_TRUE(WaitFor([&] { return Delivered().size() == 2 * table.size(); }));
  const auto delivered = Delivered();
  EXPECT_EQ(std::vector(delivered.begin() + static_cast<long>(table.size()), delivered.end()),
            table);
}

INSTANTIATE_TEST_SUITE_P(sources, source_back_to_back,
                         ::testing::Values("virtual", "socketcan", "socketcand", "replay"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace tran
