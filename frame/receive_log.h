// Turns received frame records into log text: counting, ID filter, deltas, line numbers,
// and the batched write of the pending text into the view.
//
// Log line formats (line number, delta in ms, identifier, then " %02X" per data byte):
//   "0      5ms      123 - 01 A0\r\n"                              standard 0x123
//   "12   1000ms 00115599 - 00 22 99 00 00 11 33 33\r\n"           extended 0x115599
//
// Lines wait for the flush as the values they are made of and are formatted at the flush. When
// more has gathered than the view keeps, the lines its limit would cut from the top at once are
// dropped unformatted: on a saturated bus that is most of them, and the view ends with the same
// text (see the flush in receive_log.cpp).
//
// Threads: everything here runs on the one thread that owns the window (or the tool's main
// thread). The pending lines and the last timestamp are process-wide and unlocked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "frame/frame_record.h"
#include "frame/log_view.h"

namespace frame {

inline constexpr std::int32_t kLogTextLimit = 64000;
inline constexpr std::uint64_t kTrimAfterLines = 1000;
inline constexpr std::int32_t kCaretAtEnd = 0xFFFF;
// Longest log line: 20-digit number, " ", 6+ digit delta, "ms ", 8 hex, " -", 8 x " XX", "\r\n".
inline constexpr std::size_t kMaxLogLine = 96;

// The owner's state that ShowRecord reads and writes, by reference.
// Counters are 64-bit so that a busy bus never overflows them.
struct ShowRecordContext {
  std::uint64_t& rx_count;
  std::uint64_t& line_no;
  bool& flush_due;
  const std::string& filter_text;
  const std::uint32_t& filter_id;
  LogView& view;
};

// The same state held together, for owners without members of their own (the headless tools,
// tests, benchmarks). The window keeps these values as its own members instead.
struct ReceiveLogState {
  std::uint64_t rx_count = 0;
  std::uint64_t line_no = 0;
  bool flush_due = false;
  std::string filter_text;
  std::uint32_t filter_id = 0;

  // Takes a filter text and its id, as the filter box does.
  void SetFilter(std::string_view text);
  ShowRecordContext Context(LogView& view) {
    return {rx_count, line_no, flush_due, filter_text, filter_id, view};
  }
};

// Counts, filters, formats and appends one 16-byte record, flushing when flush_due is set.
void ShowRecord(const ShowRecordContext& ctx, const std::uint8_t* record);

// Process-wide pending text (lines not yet written to the view) and last shown timestamp.
// PendingText formats the lines still waiting as values; clearing it drops them all.
std::string& PendingText();
std::uint16_t& LastTimestamp();

// Writes one log line with its "\r\n" into out (at least kMaxLogLine bytes); returns the length.
//   (0, 5, std 0x123, 01 A0) -> "0      5ms      123 - 01 A0\r\n"
std::size_t FormatLogLine(char* out, std::uint64_t line_no, std::uint32_t delta_ms,
                          const DecodedRecord& rec) noexcept;
// The length FormatLogLine gives the same line, without writing it.
std::size_t LogLineLength(std::uint64_t line_no, std::uint32_t delta_ms,
                          const DecodedRecord& rec) noexcept;

// Writes "<prefix><count>" in decimal into out (prefix.size() + 21 bytes); returns the length.
//   ("RX:", 4294967296) -> "RX:4294967296"
std::size_t FormatCounter(char* out, std::string_view prefix, std::uint64_t count) noexcept;

}  // namespace frame
