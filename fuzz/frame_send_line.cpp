// Arbitrary bytes as a send line. Checks the record's invariants and compares it byte for
// byte with a literal, copy-based reading of the encoding rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "frame/frame_record.h"
#include "frame/send_line.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::uint32_t HexPrefix(const std::string& s) {
  std::uint32_t v = 0;
  for (const char c : s) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      break;
    }
    v = v * 16u + static_cast<std::uint32_t>(d);
  }
  return v;
}

// The rules step by step on a copy: trim, collapse "  " until stable, then cut tokens.
frame::FrameRecord Reference(std::string line) {
  const std::size_t first = line.find_first_not_of(' ');
  if (first == std::string::npos) {
    line.clear();
  } else {
    line = line.substr(first, line.find_last_not_of(' ') - first + 1);
  }
  for (std::size_t at; (at = line.find("  ")) != std::string::npos;) line.replace(at, 2, " ");

  const std::uint32_t id = HexPrefix(line);
  const std::string id_text = line.substr(0, line.find(' '));
  std::uint8_t data[8] = {};
  std::uint8_t count = 0;
  for (int i = 0; i < 8; ++i) {
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) break;
    line = line.substr(space + 1);
    data[count++] = static_cast<std::uint8_t>(HexPrefix(line));
  }
  frame::FrameRecord rec{};
  for (int i = 0; i < count; ++i) rec[static_cast<std::size_t>(i)] = data[i];
  rec[13] = count;
  if (id > 0x7FF || id_text.size() > 3) {
    rec[13] |= 0x80;
    const std::uint32_t word = id << 3;
    for (int i = 0; i < 4; ++i)
      rec[8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(word >> (8 * i));
  } else {
    rec[8] = static_cast<std::uint8_t>(id << 5);
    rec[9] = static_cast<std::uint8_t>(id >> 3);
  }
  return rec;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(bytes), size);
  const frame::FrameRecord rec = frame::EncodeSendLine(line);

  const std::uint8_t count = rec[13] & 0x0F;
  Check(count <= 8);
  Check((rec[13] & 0x70) == 0);
  Check(rec[12] == 0 && rec[14] == 0 && rec[15] == 0);
  for (std::size_t i = count; i < 8; ++i) Check(rec[i] == 0);

  const frame::DecodedRecord d = frame::DecodeRecord(rec.data());
  const std::uint32_t typed = HexPrefix(line.substr(line.find_first_not_of(' ') == std::string::npos
                                                        ? line.size()
                                                        : line.find_first_not_of(' ')));
  if (d.extended) {
    Check(d.identifier == (typed & frame::kMaxExtendedId));
  } else {
    Check(d.identifier == typed && d.identifier <= frame::kMaxStandardId);
  }

  Check(rec == Reference(line));
  return 0;
}
