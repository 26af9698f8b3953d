// What the bus fuzzers share: reading their input as a stream of fields (past its end every
// field reads as zero), and failing with a message when a check of the model does not hold.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace fuzz {

[[noreturn]] inline void Fail(const char* fuzzer, const char* what) {
  std::fprintf(stderr, "%s: %s\n", fuzzer, what);
  std::abort();
}

struct Reader {
  const std::uint8_t* p;
  std::size_t left;
  std::uint8_t U8() {
    if (left == 0) return 0;
    --left;
    return *p++;
  }
  std::uint16_t U16() {
    const std::uint16_t low = U8();
    return static_cast<std::uint16_t>(low | U8() << 8);
  }
  std::uint32_t U32() {
    const std::uint32_t low = U16();
    return low | static_cast<std::uint32_t>(U16()) << 16;
  }
  std::span<const std::uint8_t> Take(std::size_t n) {
    n = std::min(n, left);
    std::span<const std::uint8_t> out(p, n);
    p += n;
    left -= n;
    return out;
  }
};

}  // namespace fuzz
