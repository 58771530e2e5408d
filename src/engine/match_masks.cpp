// The module is built for any x86-64 processor, so the AVX2 versions are
// chosen at run time; elsewhere the one-cell-at-a-time versions serve.
#include "match_masks.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "cpu.hpp"
#include "keep_bytes.hpp"
#include "prefetch.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define KELO_X86 1
#endif

namespace kelo_frame {

namespace {

template <class T>
void among_one_by_one(const T* values, std::size_t rows, std::span<const T> wanted, std::uint64_t* out) noexcept {
  for (std::size_t w = 0; w * 64 < rows; ++w) {
    const std::size_t n = std::min<std::size_t>(64, rows - w * 64);
    std::uint64_t m = 0;
    for (std::size_t j = 0; j < n; ++j) {
      const T c = values[w * 64 + j];
      bool hit = false;
      for (const T v : wanted) hit |= c == v;
      m |= std::uint64_t{hit} << j;
    }
    out[w] = m;
  }
}

}  // namespace

// As offsets ascend, the words up to the first whose last cell starts too late.
std::size_t words_before_end(const std::uint64_t* offsets, std::size_t rows, std::size_t size) noexcept {
  std::size_t lo = 0;
  std::size_t hi = rows / 64;
  while (lo < hi) {
    const std::size_t mid = (lo + hi + 1) / 2;
    if (offsets[mid * 64 - 1] + 8 <= size) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  return lo;
}

TextKey text_key(const char* text, std::uint64_t length) noexcept {
  std::uint64_t head = 0;
  std::memcpy(&head, text, static_cast<std::size_t>(std::min<std::uint64_t>(length, 8)));
  return {length, head};
}

void among_masks_scalar(const std::int64_t* values, std::size_t rows, std::span<const std::int64_t> wanted,
                        std::uint64_t* out) noexcept {
  among_one_by_one(values, rows, wanted, out);
}

void among_masks_scalar(const double* values, std::size_t rows, std::span<const double> wanted,
                        std::uint64_t* out) noexcept {
  among_one_by_one(values, rows, wanted, out);
}

void text_masks_scalar(const std::uint64_t* offsets, std::size_t rows, const char* bytes, std::size_t size,
                       std::span<const TextKey> keys, std::uint64_t* out) noexcept {
  for (std::size_t w = 0; w * 64 < rows; ++w) {
    const std::size_t n = std::min<std::size_t>(64, rows - w * 64);
    std::uint64_t m = 0;
    for (std::size_t j = 0; j < n; ++j) {
      const std::uint64_t begin = offsets[w * 64 + j];
      const std::uint64_t length = offsets[w * 64 + j + 1] - begin;
      const std::uint64_t first = std::min<std::uint64_t>(length, 8);
      std::uint64_t head = 0;
      if (begin + 8 <= size) {
        std::memcpy(&head, bytes + begin, 8);
        head &= keep_bytes[first];
      } else {
        std::memcpy(&head, bytes + begin, static_cast<std::size_t>(first));
      }
      bool hit = false;
      for (const TextKey& k : keys) hit |= (length == k.length) & (head == k.head);
      m |= std::uint64_t{hit} << j;
    }
    out[w] = m;
  }
}

#ifdef KELO_X86

namespace {

// The wanted values go four at a time into vector registers, every lane
// holding the same value; a last group of fewer than four repeats its last
// value, which changes no result.
template <class T>
__attribute__((target("avx2"))) inline __m256i broadcast(std::span<const T> wanted, std::size_t i) noexcept {
  const T v = wanted[std::min(i, wanted.size() - 1)];
  if constexpr (std::is_same_v<T, double>) {
    return _mm256_castpd_si256(_mm256_set1_pd(v));
  } else {
    return _mm256_set1_epi64x(v);
  }
}

// Lanes of all ones where the cells equal the key: as IEEE numbers for floats.
template <class T>
__attribute__((target("avx2"))) inline __m256i same(__m256i cells, __m256i key) noexcept {
  if constexpr (std::is_same_v<T, double>) {
    return _mm256_castpd_si256(_mm256_cmp_pd(_mm256_castsi256_pd(cells), _mm256_castsi256_pd(key), _CMP_EQ_OQ));
  } else {
    return _mm256_cmpeq_epi64(cells, key);
  }
}

__attribute__((target("avx2"))) inline std::uint64_t bits4(__m256i lanes) noexcept {
  return static_cast<std::uint64_t>(_mm256_movemask_pd(_mm256_castsi256_pd(lanes)));
}

template <class T>
__attribute__((target("avx2"))) void among_avx2(const T* values, std::size_t rows, std::span<const T> wanted,
                                                std::uint64_t* out) noexcept {
  const std::size_t words = rows / 64;
  std::fill(out, out + words, 0);
  for (std::size_t g = 0; g < wanted.size(); g += 4) {
    const __m256i k0 = broadcast(wanted, g);
    const __m256i k1 = broadcast(wanted, g + 1);
    const __m256i k2 = broadcast(wanted, g + 2);
    const __m256i k3 = broadcast(wanted, g + 3);
    for (std::size_t w = 0; w < words; ++w) {
      const T* p = values + w * 64;
      std::uint64_t m = 0;
      for (unsigned q = 0; q < 16; ++q) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4 * q));
        const __m256i hit = _mm256_or_si256(_mm256_or_si256(same<T>(v, k0), same<T>(v, k1)),
                                            _mm256_or_si256(same<T>(v, k2), same<T>(v, k3)));
        m |= bits4(hit) << (4 * q);
      }
      out[w] |= m;
    }
  }
  among_one_by_one(values + words * 64, rows - words * 64, wanted, out + words);
}

// Four cells starting at o[0..3]: their lengths and first 8 bytes are compared
// with every key. The 8 bytes at each cell's start must lie within the bytes.
__attribute__((target("avx2"))) inline int text_hits4(const std::uint64_t* o, const char* bytes,
                                                      std::span<const TextKey> keys) noexcept {
  const __m256i begin = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o));
  const __m256i end = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o + 1));
  const __m256i length = _mm256_sub_epi64(end, begin);
  std::uint64_t h[4];  // NOLINT(cppcoreguidelines-pro-type-member-init)
  for (unsigned i = 0; i < 4; ++i) std::memcpy(&h[i], bytes + o[i], 8);
  const __m256i loaded = _mm256_set_epi64x(static_cast<long long>(h[3]), static_cast<long long>(h[2]),
                                           static_cast<long long>(h[1]), static_cast<long long>(h[0]));
  // Keep the first min(length, 8) bytes: a shift by 64 or more gives zero.
  const __m256i past = _mm256_sllv_epi64(_mm256_set1_epi64x(-1), _mm256_slli_epi64(length, 3));
  const __m256i head = _mm256_andnot_si256(past, loaded);
  __m256i hit = _mm256_setzero_si256();
  for (const TextKey& k : keys) {
    const __m256i same_length = _mm256_cmpeq_epi64(length, _mm256_set1_epi64x(static_cast<long long>(k.length)));
    const __m256i same_head = _mm256_cmpeq_epi64(head, _mm256_set1_epi64x(static_cast<long long>(k.head)));
    hit = _mm256_or_si256(hit, _mm256_and_si256(same_length, same_head));
  }
  return _mm256_movemask_pd(_mm256_castsi256_pd(hit));
}

// Words ahead of the current one whose offsets and bytes are asked for: the
// two streams outrun the processor's own prefetching, which stops at page
// boundaries. A prefetch never faults, so the address of offsets past this
// run's end (the next run's, or none) is formed as an integer, not a pointer.
constexpr std::size_t words_ahead = 8;

__attribute__((target("avx2"))) inline void prefetch_ahead(const std::uint64_t* o, const char* bytes,
                                                           std::size_t size) noexcept {
  const auto later = reinterpret_cast<std::uintptr_t>(o + 64) + (words_ahead - 1) * 64 * sizeof(std::uint64_t);
  // The bytes of the later word, guessed from this word's length.
  const std::uint64_t text = o[0] + (o[64] - o[0]) * words_ahead;
  for (unsigned i = 0; i < 8; ++i) {
    prefetch(reinterpret_cast<const void*>(later + 64 * i));
    prefetch(bytes + std::min<std::uint64_t>(text + 64 * i, size - 1));
  }
}

__attribute__((target("avx2"))) void text_avx2(const std::uint64_t* offsets, std::size_t rows, const char* bytes,
                                               std::size_t size, std::span<const TextKey> keys,
                                               std::uint64_t* out) noexcept {
  const std::size_t words = words_before_end(offsets, rows, size);
  for (std::size_t w = 0; w < words; ++w) {
    const std::uint64_t* o = offsets + w * 64;
    prefetch_ahead(o, bytes, size);
    std::uint64_t m = 0;
    for (unsigned q = 0; q < 16; ++q) m |= static_cast<std::uint64_t>(text_hits4(o + 4 * q, bytes, keys)) << (4 * q);
    out[w] = m;
  }
  text_masks_scalar(offsets + words * 64, rows - words * 64, bytes, size, keys, out + words);
}

}  // namespace

void among_masks_avx2(const std::int64_t* values, std::size_t rows, std::span<const std::int64_t> wanted,
                      std::uint64_t* out) noexcept {
  among_avx2(values, rows, wanted, out);
}

void among_masks_avx2(const double* values, std::size_t rows, std::span<const double> wanted,
                      std::uint64_t* out) noexcept {
  among_avx2(values, rows, wanted, out);
}

void text_masks_avx2(const std::uint64_t* offsets, std::size_t rows, const char* bytes, std::size_t size,
                     std::span<const TextKey> keys, std::uint64_t* out) noexcept {
  text_avx2(offsets, rows, bytes, size, keys, out);
}

void among_masks(const std::int64_t* values, std::size_t rows, std::span<const std::int64_t> wanted,
                 std::uint64_t* out) noexcept {
  cpu::has_avx2() ? among_avx2(values, rows, wanted, out) : among_one_by_one(values, rows, wanted, out);
}

void among_masks(const double* values, std::size_t rows, std::span<const double> wanted, std::uint64_t* out) noexcept {
  cpu::has_avx2() ? among_avx2(values, rows, wanted, out) : among_one_by_one(values, rows, wanted, out);
}

void text_masks(const std::uint64_t* offsets, std::size_t rows, const char* bytes, std::size_t size,
                std::span<const TextKey> keys, std::uint64_t* out) noexcept {
  cpu::has_avx2() ? text_avx2(offsets, rows, bytes, size, keys, out)
                  : text_masks_scalar(offsets, rows, bytes, size, keys, out);
}

#else

void among_masks(const std::int64_t* values, std::size_t rows, std::span<const std::int64_t> wanted,
                 std::uint64_t* out) noexcept {
  among_one_by_one(values, rows, wanted, out);
}

void among_masks(const double* values, std::size_t rows, std::span<const double> wanted, std::uint64_t* out) noexcept {
  among_one_by_one(values, rows, wanted, out);
}

void text_masks(const std::uint64_t* offsets, std::size_t rows, const char* bytes, std::size_t size,
                std::span<const TextKey> keys, std::uint64_t* out) noexcept {
  text_masks_scalar(offsets, rows, bytes, size, keys, out);
}

#endif

}  // namespace kelo_frame
