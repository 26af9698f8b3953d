// Fuzzes the candump line reader. Invariants: a frame has an identifier in range and reads
// back unchanged from the line our writer makes of it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tran/candump/candump_log.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  tran::CandumpEntry entry;
  if (tran::ParseCandumpLine(line, entry) != tran::CandumpLineKind::kFrame) return 0;
  const frame::DecodedRecord rec = frame::DecodeRecord(entry.record.data());
  if (rec.identifier > (rec.extended ? frame::kMaxExtendedId : frame::kMaxStandardId)) std::abort();
  if (entry.time_us < 0 || entry.iface.empty()) std::abort();
  std::string again;
  const timeval time{static_cast<time_t>(entry.time_us / 1'000'000),
                     static_cast<suseconds_t>(entry.time_us % 1'000'000)};
  tran::AppendCandumpLine(again, entry.record, time, entry.iface);
  again.pop_back();
  tran::CandumpEntry reread;
  if (tran::ParseCandumpLine(again, reread) != tran::CandumpLineKind::kFrame) std::abort();
  // Our writer keeps eight bytes of a length code 9..15 but not the code itself.
  if (rec.length_code <= 8 && reread.record != entry.record) std::abort();
  if (reread.time_us != entry.time_us) std::abort();
  return 0;
}
