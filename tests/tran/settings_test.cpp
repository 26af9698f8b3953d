#include "tran/settings.h"

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
      "generate 5\n"
      "foreground\n";
  ASSERT_EQ(ParseSettingsText(text, s), std::nullopt);
  EXPECT_EQ(DescribeSource(s), "socketcand:10.0.0.2:29536:can0");
  EXPECT_EQ(s.listen_address, "0.0.0.0");
  EXPECT_EQ(s.log_path, "/var/tmp/bus.log");
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
      {"bus /b\nspeed 5\n", "line 2: unknown setting 'speed'"},
      {"\n\n# x\nforeground = maybe",
       "line 4: bad value 'maybe' for foreground (expected true or false)"},
      {"generate\n", "line 1: missing value for generate"},
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
