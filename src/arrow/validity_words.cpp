#include "validity_words.hpp"

#include <algorithm>
#include <cstring>

namespace kelo_frame::arrow {

namespace {

// count (1 to 64) bits of a bitmap from bit `at` on, in the low bits of the
// result (higher bits unspecified). Reads only the bytes that hold them: an
// Arrow bitmap need not be padded past its last bit.
std::uint64_t load_bits(const std::uint8_t* bitmap, std::uint64_t at, unsigned count) noexcept {
  const std::uint8_t* p = bitmap + (at >> 3);
  const unsigned shift = static_cast<unsigned>(at & 7);
  const unsigned bytes = (shift + count + 7) / 8;  // 1 to 9
  std::uint64_t word = 0;
  std::memcpy(&word, p, bytes >= 8 ? 8 : bytes);
  word >>= shift;
  if (bytes == 9) word |= std::uint64_t{p[8]} << (64 - shift);  // shift > 0 here
  return word;
}

}  // namespace

void ValidityWords::clear_absent(std::uint64_t row0, const void* bitmap, std::uint64_t first, std::uint64_t n) {
  if (bitmap == nullptr) return;
  const auto* bits = static_cast<const std::uint8_t*>(bitmap);
  for (std::uint64_t k = 0; k < n;) {
    const std::uint64_t row = row0 + k;
    const auto shift = static_cast<unsigned>(row & 63);
    const auto count = static_cast<unsigned>(std::min<std::uint64_t>(64 - shift, n - k));
    const std::uint64_t mask = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    const std::uint64_t absent = ~load_bits(bits, first + k, count) & mask;
    if (absent != 0) {
      made();
      words_[row >> 6] &= ~(absent << shift);
    }
    k += count;
  }
}

}  // namespace kelo_frame::arrow
