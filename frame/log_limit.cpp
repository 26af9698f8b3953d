#include "frame/log_limit.h"

namespace frame {

std::size_t LeadingCutForLimit(std::string_view text, std::size_t limit) noexcept {
  if (text.size() <= limit) return 0;
  const std::size_t min_cut = text.size() - limit;
  // The first line start at or after min_cut: just past a '\n' found from min_cut - 1 on.
  // A '\n' at the very end starts no line, so it does not count.
  const std::size_t newline = text.find('\n', min_cut - 1);
  if (newline != std::string_view::npos && newline + 1 < text.size()) return newline + 1;
  return min_cut;  // the last line alone is too long: keep its last `limit` characters
}

}  // namespace frame
