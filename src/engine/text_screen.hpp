// A screen in front of a set of texts. A text cell is reduced, without a
// branch on its length, to a hash of its length and its first and last 8
// bytes; the set's texts mark two bits each in a small bit array, and a cell
// whose two bits are not both set is not in the set. Most cells that a
// membership filter looks at are not in its set, and the screen turns them
// away with one load and no branch that the data can mispredict, where a
// probe of the hash table itself branches on what each slot holds.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "keep_bytes.hpp"
#include "u128.hpp"

namespace kelo_frame {

// A text's first min(n, 8) bytes, zero-padded, and when it is longer than 8
// bytes its last 8: every byte of a text of up to 16 bytes, so two texts of
// the same length and at most 16 bytes with equal ends are equal.
struct TextEnds {
  std::uint64_t head = 0;
  std::uint64_t tail = 0;

  // The ends of the n bytes at p, where the 8 bytes from p may be read even
  // when the text is shorter (a column's bytes go on, or a padded copy).
  [[nodiscard]] static TextEnds at(const char* p, std::uint64_t n) noexcept {
    std::uint64_t head;
    std::uint64_t tail;
    std::memcpy(&head, p, 8);
    const bool two = n > 8;
    std::memcpy(&tail, p + (two ? n - 8 : 0), 8);
    return {head & keep_bytes[std::min<std::uint64_t>(n, 8)], two ? tail : 0};
  }
  // The ends of a text, reading only its own bytes.
  [[nodiscard]] static TextEnds of(std::string_view text) noexcept {
    std::array<char, 8> padded{};
    if (text.size() >= 8) return at(text.data(), text.size());
    std::memcpy(padded.data(), text.data(), text.size());
    return at(padded.data(), text.size());
  }

  // A hash of the ends and the length: one 64 x 64 -> 128-bit product whose
  // halves are folded, so every bit depends on every byte.
  [[nodiscard]] std::uint64_t hash(std::uint64_t n) const noexcept {
    const Product p = multiply(head ^ 0xA076'1D64'78BD'642FULL, tail ^ n ^ 0xE703'7ED1'A0B4'28DBULL);
    return p.high ^ p.low;
  }
};

// The bit array: a hash picks one 64-bit word by its high bits and two bits
// of it by its low 12, so a test is one load. With at least 32 bits per key
// (two keys per word) about one cell in 200 that is not in the set passes.
class TextScreen {
 public:
  // One or two keys per word: for a set whose table is in cache, an array
  // of at most a few tens of kilobytes.
  void size_for(std::size_t keys) {
    const std::size_t words = std::max<std::size_t>(8, std::bit_ceil(std::max<std::size_t>(keys, 1)) / 2);
    words_.assign(words, 0);
    shift_ = static_cast<unsigned>(64 - std::countr_zero(words));
  }
  void add(std::uint64_t h) noexcept { words_[h >> shift_] |= pair(h); }
  [[nodiscard]] bool pass(std::uint64_t h) const noexcept {
    const std::uint64_t m = pair(h);
    return (words_[h >> shift_] & m) == m;
  }

 private:
  [[nodiscard]] static std::uint64_t pair(std::uint64_t h) noexcept {
    return (std::uint64_t{1} << (h & 63)) | (std::uint64_t{1} << ((h >> 6) & 63));
  }
  std::vector<std::uint64_t> words_;
  unsigned shift_ = 61;
};

}  // namespace kelo_frame
