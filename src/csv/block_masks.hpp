// BlockMasks: the bytes of 64-byte blocks of text that matter to the CSV
// scanner, as bitmasks (bit i for byte i of a block).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelo_frame::csv {

struct BlockMasks {
  std::uint64_t quote = 0;  // '"'
  std::uint64_t comma = 0;  // ','
  std::uint64_t lf = 0;     // LF
  std::uint64_t cr = 0;     // CR
};

// Fills out[0, blocks) from the 64 * blocks bytes at p, with the widest
// vector instructions this processor has (AVX2 or SSE2).
void classify_blocks(const char* p, std::size_t blocks, BlockMasks* out) noexcept;

#if defined(__x86_64__)
// The two vector versions, for tests; the AVX2 one only where the processor has it.
void classify_blocks_sse2(const char* p, std::size_t blocks, BlockMasks* out) noexcept;
void classify_blocks_avx2(const char* p, std::size_t blocks, BlockMasks* out) noexcept;
#endif

// The same one byte at a time: the reference for the vector versions.
void classify_blocks_bytewise(const char* p, std::size_t blocks, BlockMasks* out) noexcept;

}  // namespace kelo_frame::csv
