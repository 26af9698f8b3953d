// Golden log lines, each with the send line that produces its frame. One table drives both
// the formatter check and the round trip send line -> record -> ShowRecord -> log text.
#pragma once

#include <cstdint>
#include <string_view>

namespace frame_test {

struct LogLineExample {
  std::string_view send_line;
  std::uint64_t line_no;
  std::uint16_t last_timestamp;  // of the previously shown record
  std::uint16_t timestamp;       // of this record
  std::string_view log_line;
};

inline constexpr LogLineExample kLogLineExamples[] = {
    {"123 01 A0", 0, 0, 5, "0      5ms      123 - 01 A0\r\n"},
    {"115599 00 22 99 00 00 11 33 33", 12, 3000, 4000,
     "12   1000ms 00115599 - 00 22 99 00 00 11 33 33\r\n"},
    {"7FF", 999, 77, 77, "999      0ms      7FF -\r\n"},
    {"5 0 0", 7, 100, 112, "7     12ms      005 - 00 00\r\n"},
    {"  12   3  ", 3, 0, 0, "3      0ms      012 - 03\r\n"},
    {"0001 ff", 1, 1, 0, "1  65535ms 00000001 - FF\r\n"},
    {"800 1", 42, 65530, 4, "42     10ms 00000800 - 01\r\n"},  // timestamps wrap
    {"1FFFFFFF 11 22 33 44 55 66 77 88", 4294967296, 0, 42,
     "4294967296     42ms 1FFFFFFF - 11 22 33 44 55 66 77 88\r\n"},
    {"abc de", 18446744073709551615u, 10, 13, "18446744073709551615      3ms 00000ABC - DE\r\n"},
};

}  // namespace frame_test
