#include "frame/send_line.h"

#include <array>
#include <cstdint>

#include "frame/read_hex.h"

namespace frame {

namespace {

// An id text longer than this makes the frame extended even when its value is small.
constexpr std::size_t kMaxStandardIdText = 3;

// Removes the next space-separated token from `rest` (which starts at a token) and returns it.
std::string_view TakeToken(std::string_view& rest) noexcept {
  const std::size_t space = rest.find(' ');
  const std::string_view token = rest.substr(0, space);
  if (space == std::string_view::npos) {
    rest = {};
  } else {
    const std::size_t next = rest.find_first_not_of(' ', space);
    rest = next == std::string_view::npos ? std::string_view{} : rest.substr(next);
  }
  return token;
}

}  // namespace

// Trimming spaces and splitting on runs of spaces reads the same tokens as trimming and then
// collapsing every "  " to " ", without copying the line. Only ' ' separates; a tab does not.
FrameRecord EncodeSendLine(std::string_view line) noexcept {
  const std::size_t first = line.find_first_not_of(' ');
  std::string_view rest = first == std::string_view::npos ? std::string_view{} : line.substr(first);
  rest = rest.substr(0, rest.find_last_not_of(' ') + 1);

  const std::string_view id_text = TakeToken(rest);
  const std::uint32_t identifier = ReadHex(id_text);

  std::array<std::uint8_t, kMaxShownLength> data{};
  std::uint8_t count = 0;
  while (count < kMaxShownLength && !rest.empty()) {
    data[count++] = static_cast<std::uint8_t>(ReadHex(TakeToken(rest)));
  }

  const bool extended = identifier > kMaxStandardId || id_text.size() > kMaxStandardIdText;
  // MakeRecord keeps 29 bits of an extended id, the same bits that survive id << 3.
  return MakeRecord(identifier, extended, data.data(), count, 0);
}

}  // namespace frame
