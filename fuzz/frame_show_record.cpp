// Arbitrary bytes as a filter text and a stream of records through ShowRecord. Checks each
// produced line against an independent reading of the log-line format, the counters and
// the filter, and that the in-memory view never exceeds its limit.
//
// Input: [filter length % 5][filter text][start selector][limit selector]
//        then repeated [control byte][16 record bytes]; control bit 0 raises the flush flag.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "frame/memory_log_view.h"
#include "frame/receive_log.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Reader {
  const std::uint8_t* p;
  std::size_t left;
  bool Take(std::size_t n, const std::uint8_t** out) {
    if (left < n) return false;
    *out = p;
    p += n;
    left -= n;
    return true;
  }
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::uint32_t FilterId(std::string_view text) {
  std::uint32_t v = 0;
  for (const char c : text) {
    if (HexValue(c) < 0) break;
    v = v * 16u + static_cast<std::uint32_t>(HexValue(c));
  }
  return v;
}

// Reads a number right-aligned with spaces in a column of `width` characters, with at least
// `min_digits` digits and no leading zero beyond those; a wider number fills the column alone.
bool ReadColumn(std::string_view& s, std::size_t width, std::size_t min_digits, int base,
                std::uint64_t* value) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  std::size_t j = i;
  std::uint64_t v = 0;
  for (; j < s.size(); ++j) {
    const char c = s[j];
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) break;
    v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
  }
  const std::size_t digits = j - i;
  if (digits < min_digits || digits > 20) return false;
  if (digits > min_digits && s[i] == '0') return false;
  if (j != (digits < width ? width : digits)) return false;
  *value = v;
  s.remove_prefix(j);
  return true;
}

bool Eat(std::string_view& s, std::string_view lit) {
  if (s.substr(0, lit.size()) != lit) return false;
  s.remove_prefix(lit.size());
  return true;
}

struct ParsedLine {
  std::uint64_t line_no = 0;
  std::uint64_t delta = 0;
  bool extended = false;
  std::uint64_t id = 0;
  std::uint8_t bytes[8] = {};
  std::size_t count = 0;
};

// "<n> <delta:6>ms <id:8> -( XX)*\r\n": the id column is "%08X" (extended, no space in it) or
// "%8.3X" (standard, at most 27 bits, so at least one leading space).
bool ParseLine(std::string_view s, ParsedLine* out) {
  if (!ReadColumn(s, 0, 1, 10, &out->line_no) || !Eat(s, " ")) return false;
  if (!ReadColumn(s, 6, 1, 10, &out->delta) || out->delta > 0xFFFF || !Eat(s, "ms ")) {
    return false;
  }
  out->extended = !s.empty() && s[0] != ' ';
  if (!ReadColumn(s, 8, out->extended ? 8 : 3, 16, &out->id) || !Eat(s, " -")) return false;
  while (s.size() >= 3 && s[0] == ' ' && out->count < 8) {
    std::string_view field = s.substr(1, 2);
    std::uint64_t byte = 0;
    if (!ReadColumn(field, 2, 2, 16, &byte)) return false;
    out->bytes[out->count++] = static_cast<std::uint8_t>(byte);
    s.remove_prefix(3);
  }
  return s == "\r\n";
}

// The line a record must produce, checked field by field against the record's own bytes.
void CheckLine(std::string_view line, std::uint64_t line_no, std::uint16_t delta,
               const std::uint8_t* rec) {
  const bool extended = (rec[13] & 0x80) != 0;
  const std::uint32_t word = static_cast<std::uint32_t>(rec[8] | rec[9] << 8 | rec[10] << 16) |
                             static_cast<std::uint32_t>(rec[11]) << 24;
  ParsedLine p;
  Check(ParseLine(line, &p));
  Check(p.line_no == line_no && p.delta == delta && p.extended == extended);
  Check(p.id == (extended ? word >> 3 : word >> 5));
  Check(p.count == ((rec[13] & 0x0F) > 8 ? 8u : (rec[13] & 0x0FU)));
  for (std::size_t i = 0; i < p.count; ++i) Check(p.bytes[i] == rec[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Reader in{bytes, size};
  const std::uint8_t* b = nullptr;
  if (!in.Take(1, &b)) return 0;
  const std::size_t filter_len = b[0] % 5;
  if (!in.Take(filter_len, &b)) return 0;
  const std::string filter_text(reinterpret_cast<const char*>(b), filter_len);
  const std::uint32_t filter_id = FilterId(filter_text);
  if (!in.Take(2, &b)) return 0;
  static constexpr std::uint64_t kStarts[] = {0, 995, 4294967290u, 18446744073709551610u};
  std::uint64_t line_no = kStarts[b[0] % 4];
  // Small limits exercise the overflow rule; every limit still holds the longest line.
  const std::size_t limit = b[1] < 128 ? frame::kLogTextLimit : frame::kMaxLogLine + b[1];

  frame::PendingText().clear();
  frame::LastTimestamp() = 0;
  frame::MemoryLogView view(limit);
  std::uint64_t rx = 0;
  bool flush_due = false;
  const frame::ShowRecordContext ctx{rx, line_no, flush_due, filter_text, filter_id, view};

  while (in.Take(17, &b)) {
    if (b[0] & 1) flush_due = true;
    const std::uint8_t* rec = b + 1;
    const bool was_due = flush_due;
    const std::uint64_t old_line = line_no;
    const std::uint16_t old_ts = frame::LastTimestamp();
    const std::size_t old_pending = frame::PendingText().size();

    frame::ShowRecord(ctx, rec);

    Check(view.RxText() == "RX:" + std::to_string(rx));
    Check(view.Text().size() <= limit);
    const std::uint32_t word = static_cast<std::uint32_t>(rec[8] | rec[9] << 8 | rec[10] << 16) |
                               static_cast<std::uint32_t>(rec[11]) << 24;
    const std::uint32_t id = (rec[13] & 0x80) ? word >> 3 : word >> 5;
    const bool shown = filter_text.empty() || id == filter_id;
    const auto ts = static_cast<std::uint16_t>(rec[14] | rec[15] << 8);
    if (!shown) {
      Check(line_no == old_line && frame::LastTimestamp() == old_ts && flush_due == was_due);
      Check(frame::PendingText().size() == old_pending);
      continue;
    }
    Check(line_no == old_line + 1 && frame::LastTimestamp() == ts);
    const auto delta = static_cast<std::uint16_t>(ts - old_ts);
    std::string_view line;
    if (was_due) {
      Check(!flush_due && frame::PendingText().empty());
      const std::string& text = view.Text();
      // The new line is the last one in the view; the limit always leaves it whole.
      const std::size_t prev_end =
          text.size() >= 2 ? text.rfind('\n', text.size() - 2) : std::string::npos;
      line = std::string_view(text).substr(prev_end == std::string::npos ? 0 : prev_end + 1);
      Check(view.SelStart() == text.size());
      if (view.LastOverflowCut() > 0) {
        // Dropped whole lines: the view now starts with a complete log line.
        ParsedLine first;
        Check(ParseLine(std::string_view(text).substr(0, text.find('\n') + 1), &first));
      }
    } else {
      line = std::string_view(frame::PendingText()).substr(old_pending);
    }
    CheckLine(line, old_line, delta, rec);
  }
  return 0;
}
