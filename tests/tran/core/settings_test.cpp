#include "tran/core/settings.h"

#include <gtest/gtest.h>

#include <vector>

namespace tran {
namespace {

std::optional<std::string> Parse(std::vector<std::string_view> args, TranSettings& settings) {
  return ParseArguments(args, settings);
}

// The file first, then the command line over it.
TEST(tran_settings, parses_the_file_and_options_over_it) {
  TranSettings s;
  const char* text =
      "# comment\n"
      "\n"
      "  source = socketcand:10.0.0.2:29536:can0\r\n"
      "listen 0.0.0.0:29536\n"
      "log=/var/tmp/bus.log\n"
      "log-max-size = 100M\n"
      "log-keep 7\n"
      "generate 5\n"
      "listen-any-user = yes\n"
      "hardware-time\n"
      "foreground\n";
  ASSERT_EQ(ParseSettingsText(text, s), std::nullopt);
  EXPECT_EQ(DescribeSource(s), "socketcand:10.0.0.2:29536:can0");
  EXPECT_EQ(s.listen_address, "0.0.0.0");
  EXPECT_TRUE(s.listen_any_user);
  EXPECT_TRUE(s.hardware_time);
  EXPECT_EQ(s.log_path, "/var/tmp/bus.log");
  EXPECT_EQ(s.log_max_size, 100u * 1024 * 1024);
  EXPECT_EQ(s.log_keep, 7u);
  EXPECT_TRUE(s.foreground);
  ASSERT_EQ(ParseSettingsText("foreground = false", s), std::nullopt);
  EXPECT_FALSE(s.foreground);

  ASSERT_EQ(Parse({"--bus", "/tmp/b", "--source=socketcan:can0", "--listen", "29536", "--log",
                   "x.log", "--foreground", "--idle-exit", "3"},
                  s),
            std::nullopt);
  EXPECT_EQ(s.bus_path, "/tmp/b");
  EXPECT_EQ(DescribeSource(s), "socketcan:can0");
  EXPECT_TRUE(s.listen);
  EXPECT_EQ(s.listen_address, "127.0.0.1");  // a bare port listens on the loopback
  EXPECT_EQ(s.listen_port, 29536);
  EXPECT_EQ(s.log_path, "x.log");
  EXPECT_EQ(s.generate_rate, 5u);  // kept from the file
  EXPECT_TRUE(s.foreground);
  EXPECT_EQ(s.idle_exit_seconds, 3u);
  EXPECT_EQ(s.log_keep, 7u);  // kept from the file

  // Sizes in bytes or KiB, MiB, GiB; keep alone needs a size, here the file's.
  const std::pair<std::string_view, std::uint64_t> sizes[] = {
      {"4096", 4096}, {"64k", 65536}, {"64K", 65536}, {"1M", 1048576}, {"2G", 2147483648}};
  for (const auto& [text, bytes] : sizes) {
    ASSERT_EQ(Parse({"--log-max-size", text, "--log-keep=1"}, s), std::nullopt) << text;
    EXPECT_EQ(s.log_max_size, bytes);
    EXPECT_EQ(s.log_keep, 1u);
  }
}

// A replay is the source: a later layer's source or replay overrides an earlier layer's.
TEST(tran_settings, replay_is_a_source_with_loop_and_speed) {
  TranSettings s;
  ASSERT_EQ(ParseSettingsText("source = socketcan:can0\nspeed 0.5\n", s), std::nullopt);
  ASSERT_EQ(Parse({"--replay", "x.log", "--loop", "--speed", "0"}, s), std::nullopt);
  EXPECT_EQ(s.source, SourceKind::kReplay);
  EXPECT_EQ(DescribeSource(s), "replay:x.log");
  EXPECT_TRUE(s.replay_loop);
  EXPECT_EQ(s.replay_speed, 0.0);

  TranSettings t;
  ASSERT_EQ(ParseSettingsText("replay = /var/tmp/bus.log\nloop\nspeed = 2\n", t), std::nullopt);
  EXPECT_EQ(DescribeSource(t), "replay:/var/tmp/bus.log");
  EXPECT_EQ(t.replay_speed, 2.0);
  ASSERT_EQ(Parse({"--source", "socketcan:can1"}, t), std::nullopt);  // the file's loop is moot
  EXPECT_EQ(DescribeSource(t), "socketcan:can1");
}

TEST(tran_settings, listen_and_source_forms) {
  struct Case {
    const char* arg;
    const char* value;
    std::string expect;  // DescribeSource or "address:port"
  };
  const Case cases[] = {
      {"--listen", ":29536", "127.0.0.1:29536"},
      {"--listen", "0.0.0.0:1", "0.0.0.0:1"},
      {"--listen", "[::1]:7", "::1:7"},
      {"--listen", "localhost:7", "127.0.0.1:7"},
      {"--source", "virtual", "virtual"},
      {"--source", "socketcand:host.example:29536:can1", "socketcand:host.example:29536:can1"},
      {"--source", "socketcand:[fe80::1]:29536:vcan0", "socketcand:fe80::1:29536:vcan0"},
  };
  for (const auto& c : cases) {
    TranSettings s;
    ASSERT_EQ(Parse({c.arg, c.value}, s), std::nullopt) << c.value;
    const std::string got = std::string_view(c.arg) == "--listen"
                                ? s.listen_address + ":" + std::to_string(s.listen_port)
                                : DescribeSource(s);
    EXPECT_EQ(got, c.expect);
  }
}

TEST(tran_settings, rejects_bad_options_naming_the_item) {
  const std::string kSources =
      " (expected virtual, socketcan:IFACE or socketcand:HOST:PORT:CHANNEL)";
  const std::string kExclusive =
      "--replay and --source exclude each other (a replay is the source)";
  const std::string kSizes = " for log-max-size (bytes, or with a suffix k, M or G; at least 4k)";
  const std::string kSpeeds =
      " (0: as fast as the clients take the frames; else a factor from 0.001, 1 = recorded)";
  struct Case {
    std::vector<std::string_view> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"-x"}, "unknown option '-x'"},
      {{"stray"}, "unexpected argument 'stray'"},
      {{"--bus"}, "option --bus needs a value"},
      {{"--foreground=yes"}, "option --foreground takes no value"},
      {{"--generate", "-5"}, "bad rate '-5' for generate (0 to 10000000 frames/s)"},
      {{"--listen", "70000"}, "bad port in --listen '70000'"},
      {{"--listen", "1.2.3:5"}, "bad address in --listen '1.2.3:5'"},
      {{"--source", "socketcan:"}, "bad --source 'socketcan:'" + kSources},
      {{"--source", "socketcand:h:0:c"}, "bad --source 'socketcand:h:0:c'" + kSources},
      {{"--source", "serial"}, "bad --source 'serial'" + kSources},
      {{"--log="}, "missing value for log"},
      {{"--replay", "a.log", "--source", "virtual"}, kExclusive},
      {{"--source=virtual", "--replay=a.log"}, kExclusive},
      {{"--loop"}, "--loop and --speed need --replay"},
      {{"--speed", "2", "--source", "virtual"}, "--loop and --speed need --replay"},
      {{"--loop=yes", "--replay", "a.log"}, "option --loop takes no value"},
      {{"--listen-any-user"}, "--listen-any-user needs --listen"},
      {{"--log-max-size", "1M"}, "--log-max-size and --log-keep need --log"},
      {{"--log-keep", "3", "--log-max-size", "1M"}, "--log-max-size and --log-keep need --log"},
      {{"--log", "a.log", "--log-keep", "3"}, "--log-keep needs --log-max-size"},
      {{"--log", "a.log", "--log-max-size", "4095"}, "bad size '4095'" + kSizes},
      {{"--log", "a.log", "--log-max-size", "1.5M"}, "bad size '1.5M'" + kSizes},
      {{"--log", "a.log", "--log-max-size", "10m"}, "bad size '10m'" + kSizes},
      {{"--log", "a.log", "--log-max-size", "M"}, "bad size 'M'" + kSizes},
      {{"--log", "a.log", "--log-max-size", "99999999999G"}, "bad size '99999999999G'" + kSizes},
      {{"--log-keep", "0"}, "bad count '0' for log-keep (1 to 1000 files)"},
      {{"--replay"}, "option --replay needs a value"},
      {{"--speed", "-1"}, "bad speed '-1'" + kSpeeds},
      {{"--speed", "nan"}, "bad speed 'nan'" + kSpeeds},
      {{"--speed", "inf"}, "bad speed 'inf'" + kSpeeds},
      {{"--speed", "0.0001"}, "bad speed '0.0001'" + kSpeeds},
      {{"--speed", "2x"}, "bad speed '2x'" + kSpeeds},
  };
  for (const auto& c : cases) {
    TranSettings s;
    EXPECT_EQ(Parse(c.args, s), c.message) << c.args[0];
  }
}

TEST(tran_settings, file_errors_name_the_line) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"bus /b\nbitrate 5\n", "line 2: unknown setting 'bitrate'"},
      {"replay /a.log\nsource virtual\n", "line 2: replay and source exclude each other"},
      {"loop = maybe\n", "line 1: bad value 'maybe' for loop (expected true or false)"},
      {"\n\n# x\nforeground = maybe",
       "line 4: bad value 'maybe' for foreground (expected true or false)"},
      {"generate\n", "line 1: missing value for generate"},
      {"log-keep = many\n", "line 1: bad count 'many' for log-keep (1 to 1000 files)"},
      {"version\n", "line 1: 'version' is not a setting"},
      {"--bus /x\n", "line 1: unknown setting '--bus'"},
  };
  for (const auto& c : cases) {
    TranSettings s;
    EXPECT_EQ(ParseSettingsText(c.text, s), c.message) << c.text;
  }
}

TEST(tran_settings, file_path_follows_xdg) {
  EXPECT_EQ(SettingsFilePath("/x/cfg", "/home/u"), "/x/cfg/zelk/zelk_tran.conf");
  EXPECT_EQ(SettingsFilePath(nullptr, "/home/u"), "/home/u/.config/zelk/zelk_tran.conf");
  EXPECT_EQ(SettingsFilePath("relative", "/home/u"), "/home/u/.config/zelk/zelk_tran.conf");
  EXPECT_EQ(SettingsFilePath(nullptr, nullptr), "");
}

}  // namespace
}  // namespace tran
