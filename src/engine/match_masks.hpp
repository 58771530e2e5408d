// Match masks: which cells of a run of rows equal one of a few wanted values,
// as one bit per row (bit j of word w for row 64 * w + j).
//
// The membership filters scan storage in runs of rows, turn each run into
// masks here, and then only visit the set bits. Each function fills
// out[0, ceil(rows / 64)); the bits past `rows` in the last word are zero.
// Missing cells are not looked at: the caller combines the masks with the
// column's validity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kelo_frame {

// Cell c of values[0, rows) equals one of wanted. Floats compare as IEEE
// numbers (NaN equals nothing, the two zeros are equal).
void among_masks(const std::int64_t* values, std::size_t rows, std::span<const std::int64_t> wanted,
                 std::uint64_t* out) noexcept;
void among_masks(const double* values, std::size_t rows, std::span<const double> wanted, std::uint64_t* out) noexcept;

// A wanted text as its length in bytes and its first up-to-8 bytes, in
// memory order, zero-padded (text_head).
struct TextKey {
  std::uint64_t length;
  std::uint64_t head;
};

[[nodiscard]] TextKey text_key(const char* text, std::uint64_t length) noexcept;

// Cell c (the bytes [offsets[c], offsets[c + 1]) of bytes[0, size)) has the
// length and the first min(length, 8) bytes of one of keys. A text longer
// than 8 bytes is then a candidate that the caller still compares in full.
// Never reads outside bytes[0, size).
void text_masks(const std::uint64_t* offsets, std::size_t rows, const char* bytes, std::size_t size,
                std::span<const TextKey> keys, std::uint64_t* out) noexcept;

// The number of whole words of 64 cells from offsets (rows of them) whose
// every cell starts 8 bytes or more before the end of bytes[0, size), so that
// 8 bytes can be loaded at any of their starts.
[[nodiscard]] std::size_t words_before_end(const std::uint64_t* offsets, std::size_t rows, std::size_t size) noexcept;

// The versions behind the functions above, for tests: one cell at a time, and
// (on x86-64, only where the processor has AVX2: cpu::has_avx2) four cells
// per instruction.
void among_masks_scalar(const std::int64_t* values, std::size_t rows, std::span<const std::int64_t> wanted,
                        std::uint64_t* out) noexcept;
void among_masks_scalar(const double* values, std::size_t rows, std::span<const double> wanted,
                        std::uint64_t* out) noexcept;
void text_masks_scalar(const std::uint64_t* offsets, std::size_t rows, const char* bytes, std::size_t size,
                       std::span<const TextKey> keys, std::uint64_t* out) noexcept;
#if defined(__x86_64__)
void among_masks_avx2(const std::int64_t* values, std::size_t rows, std::span<const std::int64_t> wanted,
                      std::uint64_t* out) noexcept;
void among_masks_avx2(const double* values, std::size_t rows, std::span<const double> wanted,
                      std::uint64_t* out) noexcept;
void text_masks_avx2(const std::uint64_t* offsets, std::size_t rows, const char* bytes, std::size_t size,
                     std::span<const TextKey> keys, std::uint64_t* out) noexcept;
#endif

}  // namespace kelo_frame
