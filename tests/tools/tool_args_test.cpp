// Option parsing of zelk_dump and zelk_send: accepted forms and the errors that name the item.
#include "tools/tool_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tools::ParseStatus;

std::vector<std::string_view> argv_of(const std::vector<const char*>& words) {
  return {words.begin(), words.end()};
}

TEST(tool_args, dump_accepts_filter_and_count_in_both_spellings) {
  const struct {
    std::vector<const char*> args;
    const char* filter;
    std::uint64_t count;
  } cases[] = {
      {{}, "", 0},
      {{"-f", "7FF"}, "7FF", 0},
      {{"-f7FF", "-n3"}, "7FF", 3},
      {{"-n", "18446744073709551", "-f", "zz"}, "zz", 18446744073709551u},
      {{"-f", ""}, "", 0},
      {{"-f", "1", "-f", "2"}, "2", 0},
  };
  for (const auto& c : cases) {
    const auto parsed = tools::ParseDumpArgs(argv_of(c.args));
    ASSERT_EQ(parsed.status, ParseStatus::kRun) << parsed.error;
    EXPECT_EQ(parsed.options.filter_text, c.filter);
    EXPECT_EQ(parsed.options.count, c.count);
  }
}

TEST(tool_args, help_wins_over_everything_after_it) {
  EXPECT_EQ(tools::ParseDumpArgs(argv_of({"--help", "-x"})).status, ParseStatus::kHelp);
  EXPECT_EQ(tools::ParseSendArgs(argv_of({"-h"})).status, ParseStatus::kHelp);
}

TEST(tool_args, send_takes_lines_repeat_and_interval) {
  const auto parsed = tools::ParseSendArgs(
      argv_of({"-r", "3", "123 45", "-i250", "1FFFFFFF 11 22 33 44 55 66 77 88", "--", "-1"}));
  ASSERT_EQ(parsed.status, ParseStatus::kRun) << parsed.error;
  EXPECT_EQ(parsed.options.repeat, 3u);
  EXPECT_EQ(parsed.options.interval_ms, 250u);
  EXPECT_EQ(parsed.options.lines,
            (std::vector<std::string>{"123 45", "1FFFFFFF 11 22 33 44 55 66 77 88", "-1"}));

  const auto defaults = tools::ParseSendArgs(argv_of({""}));
  ASSERT_EQ(defaults.status, ParseStatus::kRun);
  EXPECT_EQ(defaults.options.repeat, 1u);
  EXPECT_EQ(defaults.options.interval_ms, 0u);
  EXPECT_EQ(defaults.options.lines, std::vector<std::string>{""});
}

template <typename Parsed>
std::pair<ParseStatus, std::string> error_of(const Parsed& parsed) {
  return {parsed.status, parsed.error};
}

TEST(tool_args, errors_name_the_bad_item) {
  const struct {
    bool send;
    std::vector<const char*> args;
    const char* named;
  } cases[] = {
      {false, {"-f", "12345"}, "'12345'"},
      {false, {"-f"}, "-f"},
      {false, {"-n", "0"}, "'0'"},
      {false, {"-n", "-3"}, "'-3'"},
      {false, {"-n", "5x"}, "'5x'"},
      {false, {"-n", " 5"}, "' 5'"},
      {false, {"-n", "99999999999999999999999"}, "'99999999999999999999999'"},
      {false, {"-n"}, "-n"},
      {false, {"-x"}, "'-x'"},
      {false, {"extra"}, "'extra'"},
      {true, {}, "LINE"},
      {true, {"-r", "2"}, "LINE"},
      {true, {"1FFFFFFF 11 22 33 44 55 66 77 88 "}, "longer than 32"},
      {true, {"-r", "0", "7FF"}, "'0'"},
      {true, {"-r", "x", "7FF"}, "'x'"},
      {true, {"-i", "-1", "7FF"}, "'-1'"},
      {true, {"-i", "4294967296", "7FF"}, "'4294967296'"},
      {true, {"7FF", "-i"}, "-i"},
      {true, {"--repeat", "2", "7FF"}, "'--repeat'"},
  };
  for (const auto& c : cases) {
    const auto args = argv_of(c.args);
    const auto [status, error] =
        c.send ? error_of(tools::ParseSendArgs(args)) : error_of(tools::ParseDumpArgs(args));
    EXPECT_EQ(status, ParseStatus::kError) << c.named;
    EXPECT_NE(error.find(c.named), std::string::npos) << error;
  }
}

}  // namespace
