// What a log view keeps when an insert would take it past its character limit.
//
// The view keeps the newest text: whole lines are dropped from the top so that the log
// still ends with the latest line complete. Where the kept tail holds no line start within
// the limit (one line longer than the limit), the last `limit` characters are kept.
//
//   limit 10, text "aaaa\r\nbbbb\r\ncc\r\n" (16) -> cut 6: "bbbb\r\ncc\r\n"
#pragma once

#include <cstddef>
#include <string_view>

namespace frame {

// For the text that an insert would produce, returns how many leading characters to drop
// so that at most `limit` remain; 0 when it already fits.
std::size_t LeadingCutForLimit(std::string_view text, std::size_t limit) noexcept;

}  // namespace frame
