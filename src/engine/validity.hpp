// Validity: which cells of a column are present.
//
// One bit per cell, 1 for present, in 64-bit words. Words are only stored up
// to the last missing cell: every cell past the stored words is present, so a
// column without missing cells stores no words at all and the test for it is
// one comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kelo_frame {

class Validity {
 public:
  [[nodiscard]] bool present(std::size_t row) const noexcept {
    const std::size_t word = row >> 6;
    return word >= words_.size() || ((words_[word] >> (row & 63)) & 1U) != 0;
  }

  // True when no cell is missing (the common case fast paths test this).
  [[nodiscard]] bool all_present() const noexcept { return words_.empty(); }

  void set_missing(std::size_t row) {
    const std::size_t word = row >> 6;
    if (word >= words_.size()) words_.resize(word + 1, ~std::uint64_t{0});
    words_[word] &= ~(std::uint64_t{1} << (row & 63));
  }

  // Reserves words for n cells, so that set_missing never reallocates.
  void reserve(std::size_t n) { words_.reserve((n + 63) / 64); }

  [[nodiscard]] const std::vector<std::uint64_t>& words() const noexcept { return words_; }

  // A validity of whole words (a set bit is a present cell; bits past the
  // last cell must be set), trailing words without a missing cell dropped.
  [[nodiscard]] static Validity from_words(std::vector<std::uint64_t> words) {
    while (!words.empty() && words.back() == ~std::uint64_t{0}) words.pop_back();
    Validity out;
    out.words_ = std::move(words);
    return out;
  }

 private:
  std::vector<std::uint64_t> words_;
};

}  // namespace kelo_frame
