// The module is built for any x86-64 processor, so the AVX2 version is chosen
// at run time; SSE2 is part of x86-64 itself.
#include "block_masks.hpp"

#include "engine/cpu.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define KELO_X86 1
#endif

namespace kelo_frame::csv {

void classify_blocks_bytewise(const char* p, std::size_t blocks, BlockMasks* out) noexcept {
  for (std::size_t b = 0; b < blocks; ++b, p += 64) {
    BlockMasks m;
    for (unsigned i = 0; i < 64; ++i) {
      const std::uint64_t bit = std::uint64_t{1} << i;
      switch (p[i]) {
        case '"': m.quote |= bit; break;
        case ',': m.comma |= bit; break;
        case '\n': m.lf |= bit; break;
        case '\r': m.cr |= bit; break;
        default: break;
      }
    }
    out[b] = m;
  }
}

#ifdef KELO_X86

namespace {

__attribute__((target("avx2"))) std::uint64_t eq_avx2(__m256i lo, __m256i hi, char c) noexcept {
  const __m256i v = _mm256_set1_epi8(c);
  const auto l = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, v)));
  const auto h = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, v)));
  return std::uint64_t{l} | (std::uint64_t{h} << 32);
}

__attribute__((target("avx2"))) void classify_avx2(const char* p, std::size_t blocks, BlockMasks* out) noexcept {
  for (std::size_t b = 0; b < blocks; ++b, p += 64) {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    out[b] = BlockMasks{eq_avx2(lo, hi, '"'), eq_avx2(lo, hi, ','), eq_avx2(lo, hi, '\n'), eq_avx2(lo, hi, '\r')};
  }
}

std::uint64_t eq_sse2(const __m128i (&v)[4], char c) noexcept {
  const __m128i k = _mm_set1_epi8(c);
  std::uint64_t m = 0;
  for (unsigned i = 0; i < 4; ++i) {
    m |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v[i], k)))} << (16 * i);
  }
  return m;
}

void classify_sse2(const char* p, std::size_t blocks, BlockMasks* out) noexcept {
  for (std::size_t b = 0; b < blocks; ++b, p += 64) {
    const __m128i v[4] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)),
                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)),
                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48))};
    out[b] = BlockMasks{eq_sse2(v, '"'), eq_sse2(v, ','), eq_sse2(v, '\n'), eq_sse2(v, '\r')};
  }
}

using Classifier = void (*)(const char*, std::size_t, BlockMasks*) noexcept;

Classifier pick() noexcept { return cpu::has_avx2() ? classify_avx2 : classify_sse2; }

}  // namespace

void classify_blocks_sse2(const char* p, std::size_t blocks, BlockMasks* out) noexcept {
  classify_sse2(p, blocks, out);
}
void classify_blocks_avx2(const char* p, std::size_t blocks, BlockMasks* out) noexcept {
  classify_avx2(p, blocks, out);
}

void classify_blocks(const char* p, std::size_t blocks, BlockMasks* out) noexcept {
  static const Classifier chosen = pick();
  chosen(p, blocks, out);
}

#else

void classify_blocks(const char* p, std::size_t blocks, BlockMasks* out) noexcept {
  classify_blocks_bytewise(p, blocks, out);
}

#endif

}  // namespace kelo_frame::csv
