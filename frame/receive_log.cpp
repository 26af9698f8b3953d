#include "frame/receive_log.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "frame/read_hex.h"

namespace frame {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr int kDeltaWidth = 6;
constexpr int kIdWidth = 8;
constexpr int kMinStandardIdDigits = 3;

// Writes `value` in decimal, right-aligned with spaces to at least `width` ("%*llu").
char* PutDecimal(char* out, std::uint64_t value, int width) noexcept {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int pad = width - n; pad > 0; --pad) *out++ = ' ';
  while (n > 0) *out++ = digits[--n];
  return out;
}

// Writes `value` in upper-case hex with at least `min_digits` digits, right-aligned with
// spaces to `width` ("%8.3X" for min 3, "%08X" for min 8).
char* PutHex(char* out, std::uint32_t value, int min_digits, int width) noexcept {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = kHexDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (n < min_digits) digits[n++] = '0';
  for (int pad = width - n; pad > 0; --pad) *out++ = ' ';
  while (n > 0) *out++ = digits[--n];
  return out;
}

// The log view takes positions as 32-bit values; a longer pending text cuts everything.
std::int32_t ClampPosition(std::size_t length) noexcept {
  return static_cast<std::int32_t>(
      std::min<std::size_t>(length, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

std::string& PendingText() {
  static std::string pending;
  return pending;
}

std::uint16_t& LastTimestamp() {
  static std::uint16_t last = 0;
  return last;
}

// "0      5ms      123 - 01 A0\r\n"            line 0, delta 5, standard 0x123 ("%8.3X")
// "12   1000ms 00115599 - 00 22 99\r\n"         extended 0x115599 ("%08X")
// "4294967296      0ms      7FF -\r\n"         64-bit line numbers print in full
std::size_t FormatLogLine(char* out, std::uint64_t line_no, std::uint32_t delta_ms,
                          const DecodedRecord& rec) noexcept {
  char* p = PutDecimal(out, line_no, 0);
  *p++ = ' ';
  p = PutDecimal(p, delta_ms, kDeltaWidth);
  *p++ = 'm';
  *p++ = 's';
  *p++ = ' ';
  p = PutHex(p, rec.identifier, rec.extended ? kIdWidth : kMinStandardIdDigits, kIdWidth);
  *p++ = ' ';
  *p++ = '-';
  const std::uint8_t shown = std::min(rec.shown_length, kMaxShownLength);
  for (std::uint8_t i = 0; i < shown; ++i) {
    *p++ = ' ';
    *p++ = kHexDigits[rec.data[i] >> 4];
    *p++ = kHexDigits[rec.data[i] & 0xF];
  }
  *p++ = '\r';
  *p++ = '\n';
  return static_cast<std::size_t>(p - out);
}

// ("RX:", 0) -> "RX:0";  ("TX:", 18446744073709551615) -> "TX:18446744073709551615"
std::size_t FormatCounter(char* out, std::string_view prefix, std::uint64_t count) noexcept {
  std::memcpy(out, prefix.data(), prefix.size());
  return static_cast<std::size_t>(PutDecimal(out + prefix.size(), count, 0) - out);
}

void ReceiveLogState::SetFilter(std::string_view text) {
  filter_text.assign(text);
  filter_id = ReadHex(filter_text);
}

void ShowRecord(const ShowRecordContext& ctx, const std::uint8_t* record) {
  char buf[kMaxLogLine];

  ++ctx.rx_count;
  ctx.view.SetRxText(std::string_view(buf, FormatCounter(buf, "RX:", ctx.rx_count)));

  const DecodedRecord rec = DecodeRecord(record);
  // Hidden records are counted only: no line, no delta base, no flush.
  if (!ctx.filter_text.empty() && rec.identifier != ctx.filter_id) return;

  std::uint16_t& last = LastTimestamp();
  const auto delta = static_cast<std::uint16_t>(rec.timestamp - last);
  last = rec.timestamp;

  std::string& pending = PendingText();
  pending.append(buf, FormatLogLine(buf, ctx.line_no, delta, rec));
  ++ctx.line_no;

  if (!ctx.flush_due) return;
  ctx.flush_due = false;
  if (ctx.line_no > kTrimAfterLines) {
    // Cut from the top as many characters as are about to be added, so the log keeps its size.
    ctx.view.SetSel(0, ClampPosition(pending.size()));
    ctx.view.ReplaceSel("");
  }
  ctx.view.SetSel(kCaretAtEnd, kCaretAtEnd);
  ctx.view.ScrollCaret();
  ctx.view.ReplaceSel(pending);
  pending.clear();  // keeps its capacity, so the next lines append without allocating
}

}  // namespace frame
