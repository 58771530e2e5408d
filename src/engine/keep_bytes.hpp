// keep_bytes[n]: a word that keeps the first n of 8 bytes in memory order
// (n = 8: all), for comparing or hashing a text's partial last word without a
// byte loop. Shared by the short-list text masks and the text screen.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace kelo_frame {

inline constexpr std::array<std::uint64_t, 9> keep_bytes = [] {
  std::array<std::uint64_t, 9> out{};
  for (std::size_t n = 0; n <= 8; ++n) {
    std::array<unsigned char, 8> bytes{};
    for (std::size_t i = 0; i < n; ++i) bytes[i] = 0xff;
    out[n] = std::bit_cast<std::uint64_t>(bytes);
  }
  return out;
}();

}  // namespace kelo_frame
