// A column's validity assembled from Arrow bitmaps a word at a time.
//
// Arrow bitmaps start at any bit (an array's offset) and the batches of a
// stream at any row, so their bits are shifted into the column's 64-bit words
// rather than tested and set one by one. Words are made only once a missing
// cell is seen: a column without one ends with no words at all.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "engine/validity.hpp"

namespace kelo_frame::arrow {

class ValidityWords {
 public:
  explicit ValidityWords(std::uint64_t height) : height_(height) {}

  // Marks row row0 + k missing wherever bit first + k of the Arrow bitmap is
  // clear, for k < n. A null bitmap marks nothing. Reads only the bitmap's
  // bytes that hold those bits.
  void clear_absent(std::uint64_t row0, const void* bitmap, std::uint64_t first, std::uint64_t n);

  void set_missing(std::uint64_t row) {
    made();
    words_[row >> 6] &= ~(std::uint64_t{1} << (row & 63));
  }

  [[nodiscard]] bool present(std::uint64_t row) const noexcept {
    return words_.empty() || ((words_[row >> 6] >> (row & 63)) & 1U) != 0;
  }

  // Calls f(row) for each missing row of [row0, row0 + n) in order while f
  // returns true; false when f stopped it.
  template <class F>
  bool each_missing(std::uint64_t row0, std::uint64_t n, F&& f) const {
    if (words_.empty() || n == 0) return true;
    const std::uint64_t end = row0 + n;
    for (std::uint64_t w = row0 >> 6; w <= (end - 1) >> 6; ++w) {
      std::uint64_t missing = ~words_[w];
      const std::uint64_t base = w * 64;
      if (base < row0) missing &= ~std::uint64_t{0} << (row0 - base);
      if (end - base < 64) missing &= (std::uint64_t{1} << (end - base)) - 1;
      for (; missing != 0; missing &= missing - 1) {
        if (!f(base + static_cast<std::uint64_t>(std::countr_zero(missing)))) return false;
      }
    }
    return true;
  }

  // The column's validity (this builder is left empty).
  [[nodiscard]] Validity finish() { return Validity::from_words(std::move(words_)); }

 private:
  // Every row's word, all present (bits past the height stay set).
  void made() {
    if (words_.empty()) words_.assign((height_ + 63) / 64, ~std::uint64_t{0});
  }

  std::uint64_t height_;
  std::vector<std::uint64_t> words_;
};

}  // namespace kelo_frame::arrow
