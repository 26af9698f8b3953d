#include "frame/receive_log.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

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

// Decimal digits of value.
int DecimalDigits(std::uint64_t value) noexcept {
  int n = 1;
  while (value >= 10) {
    value /= 10;
    ++n;
  }
  return n;
}

// The log view takes positions as 32-bit values; a longer pending text cuts everything.
std::int32_t ClampPosition(std::size_t length) noexcept {
  return static_cast<std::int32_t>(
      std::min<std::size_t>(length, std::numeric_limits<std::int32_t>::max()));
}

// A shown record waiting for the flush: what its log line is made of.
struct PendingLine {
  std::uint64_t line_no;
  FrameRecord record;
  std::uint16_t delta_ms;
};

// The lines waiting for the flush: text already formatted (by PendingText), then lines kept as
// values, with the length their text will have.
struct Pending {
  std::string text;
  std::vector<PendingLine> lines;
  std::size_t lines_length = 0;

  std::size_t Length() const { return text.size() + lines_length; }
  void Clear() {
    text.clear();  // both keep their capacity, so the next lines gather without allocating
    lines.clear();
    lines_length = 0;
  }
};

Pending& PendingLines() {
  static Pending pending;
  return pending;
}

void AppendLine(std::string& out, const PendingLine& line) {
  char buf[kMaxLogLine];
  out.append(buf,
             FormatLogLine(buf, line.line_no, line.delta_ms, DecodeRecord(line.record.data())));
}

// Drops the leading lines that a view keeping `limit` characters would cut anyway when given
// the pending text, and formats the rest into pending.text.
//
// The view keeps the newest text: of what it holds plus the insert, it drops whole lines from
// the top until at most `limit` characters remain (LeadingCutForLimit). A pending line followed
// by `limit` or more pending characters is therefore cut whatever the view held before, and
// leaving it out changes nothing: the view starts its cut at the same line start. Only lines
// that leave at least `limit` characters behind them are dropped, so that still holds.
void FormatKeptLines(Pending& pending, std::size_t limit) {
  std::size_t remaining = pending.Length();
  std::size_t text_cut = 0;
  while (text_cut < pending.text.size()) {
    const std::size_t end = pending.text.find('\n', text_cut);
    const std::size_t next = end == std::string::npos ? pending.text.size() : end + 1;
    if (remaining - (next - text_cut) < limit) break;
    remaining -= next - text_cut;
    text_cut = next;
  }
  pending.text.erase(0, text_cut);
  std::size_t first = 0;
  if (pending.text.empty()) {  // the lines kept as values follow the text
    for (; first < pending.lines.size(); ++first) {
      const PendingLine& line = pending.lines[first];
      const std::size_t length =
          LogLineLength(line.line_no, line.delta_ms, DecodeRecord(line.record.data()));
      if (remaining - length < limit) break;
      remaining -= length;
    }
  }
  for (std::size_t i = first; i < pending.lines.size(); ++i) {
    AppendLine(pending.text, pending.lines[i]);
  }
  pending.lines.clear();
  pending.lines_length = 0;
}

}  // namespace

std::string& PendingText() {
  Pending& pending = PendingLines();
  for (const PendingLine& line : pending.lines) AppendLine(pending.text, line);
  pending.lines.clear();
  pending.lines_length = 0;
  return pending.text;
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

std::size_t LogLineLength(std::uint64_t line_no, std::uint32_t delta_ms,
                          const DecodedRecord& rec) noexcept {
  // Line number, ' ', the delta right-aligned to kDeltaWidth, "ms ", the identifier in
  // kIdWidth (it never needs more), " -", " XX" per shown byte, "\r\n".
  const std::size_t shown = std::min(rec.shown_length, kMaxShownLength);
  return static_cast<std::size_t>(DecimalDigits(line_no)) + 1 +
         static_cast<std::size_t>(std::max(kDeltaWidth, DecimalDigits(delta_ms))) + 3 + kIdWidth +
         2 + 3 * shown + 2;
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

  // The line waits as values; it is formatted at the flush if the view keeps it.
  Pending& pending = PendingLines();
  PendingLine& line = pending.lines.emplace_back();
  line.line_no = ctx.line_no;
  std::memcpy(line.record.data(), record, kRecordSize);
  line.delta_ms = delta;
  pending.lines_length += LogLineLength(ctx.line_no, delta, rec);
  ++ctx.line_no;

  if (!ctx.flush_due) return;
  ctx.flush_due = false;
  if (ctx.line_no > kTrimAfterLines) {
    // Cut from the top as many characters as are about to be added, so the log keeps its size.
    ctx.view.SetSel(0, ClampPosition(pending.Length()));
    ctx.view.ReplaceSel("");
  }
  ctx.view.SetSel(kCaretAtEnd, kCaretAtEnd);
  ctx.view.ScrollCaret();
  FormatKeptLines(pending, ctx.view.TextLimit());
  ctx.view.ReplaceSel(pending.text);
  pending.Clear();
}

}  // namespace frame
